#pragma once

#include "batch_core/batch_preset.h"
#include "batch_presets/morvale_preset.h"
#include "batch_presets/skeldon_preset.h"
#include "batch_presets/varnholt_preset.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace morvale {

// The product verticals one build carries.
enum class Vertical { varnholt, morvale, skeldon };

const std::array<Vertical, 3>& allVerticals();
// "varnholt", "texture", "skeldon".
std::string_view rawValue(Vertical vertical);
// Exact (case-sensitive) match of a raw value.
std::optional<Vertical> verticalFromRaw(std::string_view raw);
std::string_view displayName(Vertical vertical);
// The id of the vertical's default preset.
std::string presetID(Vertical vertical);
// A freshly built default preset of the vertical's own type.
std::unique_ptr<BatchPreset> defaultPreset(Vertical vertical);
// A free-form name ("listing", "TEXTURE", "podcast", a preset id ...), lower-cased but not trimmed.
std::optional<Vertical> verticalNamed(std::string_view name);
// The vertical whose default preset has exactly this id.
std::optional<Vertical> verticalForPresetID(std::string_view id);

// The default presets, by type.
VarnholtPreset defaultVarnholtPreset();
MorvalePreset defaultMorvalePreset();
SkeldonPreset defaultSkeldonPreset();

}  // namespace morvale
