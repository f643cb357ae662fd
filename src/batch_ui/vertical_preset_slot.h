#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "batch_presets/preset_settings_codec.h"
#include "batch_presets/vertical.h"
#include "batch_ui/preset_slot.h"

namespace morvale {

// The slot for one of the verticals' own presets: settings go through the presets'
// settings codec, and a restore is read leniently as the given vertical. A stored map
// that yields a preset of another type leaves the preset as it was.
template <class P>
std::unique_ptr<PresetSlot> makeVerticalPresetSlot(P preset, Vertical vertical) {
    return std::make_unique<TypedPresetSlot<P>>(
        std::move(preset), [](const P& value) { return PresetSettingsCodec::encode(value); },
        [vertical](const PresetSettings& settings) -> std::optional<P> {
            std::unique_ptr<BatchPreset> made = PresetSettingsCodec::makePreset(vertical, settings, false);
            if (const auto* typed = dynamic_cast<const P*>(made.get())) return *typed;
            return std::nullopt;
        });
}

}  // namespace morvale
