#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "batch_core/batch_preset.h"

namespace morvale {

// A preset's settings as a flat map of texts, the shape that is persisted.
using PresetSettings = std::map<std::string, std::string>;

// Holds the view model's current preset without making the view model a template:
// the slot knows the concrete preset type, how to copy it for a run and how to turn
// it into the persisted settings map and back.
class PresetSlot {
public:
    virtual ~PresetSlot() = default;

    virtual std::unique_ptr<PresetSlot> clone() const = 0;
    virtual const BatchPreset& preset() const = 0;
    // An independent copy, taken when a run starts, so later edits don't reach it.
    virtual std::shared_ptr<const BatchPreset> snapshot() const = 0;
    virtual PresetSettings encode() const = 0;
    // Replaces the preset with one read leniently from `settings`. Returns false, and
    // leaves the preset as it was, when the map cannot give a preset of this type.
    virtual bool restore(const PresetSettings& settings) = 0;
};

// The slot for one concrete preset type. The codec functions come from the vertical
// (see vertical_preset_slot.h); tests pass their own.
template <class P>
class TypedPresetSlot final : public PresetSlot {
public:
    using Encoder = std::function<PresetSettings(const P&)>;
    using Decoder = std::function<std::optional<P>(const PresetSettings&)>;

    TypedPresetSlot(P preset, Encoder encoder, Decoder decoder)
        : value_(std::move(preset)), encoder_(std::move(encoder)), decoder_(std::move(decoder)) {}

    P& value() { return value_; }
    const P& value() const { return value_; }

    std::unique_ptr<PresetSlot> clone() const override { return std::make_unique<TypedPresetSlot>(*this); }
    const BatchPreset& preset() const override { return value_; }
    std::shared_ptr<const BatchPreset> snapshot() const override { return std::make_shared<const P>(value_); }
    PresetSettings encode() const override { return encoder_ ? encoder_(value_) : PresetSettings{}; }
    bool restore(const PresetSettings& settings) override {
        if (!decoder_) return false;
        std::optional<P> restored = decoder_(settings);
        if (!restored) return false;
        value_ = std::move(*restored);
        return true;
    }

private:
    P value_;
    Encoder encoder_;
    Decoder decoder_;
};

}  // namespace morvale
