#include "batch_presets/vertical.h"

#include "base/ascii.h"

#include <algorithm>
#include <initializer_list>

namespace morvale {

const std::array<Vertical, 3>& allVerticals() {
    static const std::array<Vertical, 3> all{Vertical::varnholt, Vertical::morvale, Vertical::skeldon};
    return all;
}

std::string_view rawValue(Vertical vertical) {
    switch (vertical) {
    case Vertical::varnholt: return "varnholt";
    case Vertical::morvale: return "texture";
    case Vertical::skeldon: return "skeldon";
    }
    return {};
}

std::optional<Vertical> verticalFromRaw(std::string_view raw) {
    for (auto v : allVerticals()) {
        if (rawValue(v) == raw) return v;
    }
    return std::nullopt;
}

std::string_view displayName(Vertical vertical) {
    switch (vertical) {
    case Vertical::varnholt: return "Varnholt Pro";
    case Vertical::morvale: return "Morvale Express";
    case Vertical::skeldon: return "Skeldon";
    }
    return {};
}

std::string presetID(Vertical vertical) { return defaultPreset(vertical)->id(); }

VarnholtPreset defaultVarnholtPreset() {
    return VarnholtPreset("1042_Maple_Lane", true, true, true, true, 2048, 2000, std::nullopt, 0.85);
}

MorvalePreset defaultMorvalePreset() {
    return MorvalePreset(MorvalePreset::OperationalMode::channelPackingORM, ChannelPacker::EngineProfile::unrealORM,
                         true, PowerOfTwoScaler::ScaleMode::nearestPowerOfTwo(), false, 0, false);
}

SkeldonPreset defaultSkeldonPreset() {
    return SkeldonPreset("My Podcast", "Your Name", 1, -16, true, false, true, std::nullopt);
}

std::unique_ptr<BatchPreset> defaultPreset(Vertical vertical) {
    switch (vertical) {
    case Vertical::varnholt: return std::make_unique<VarnholtPreset>(defaultVarnholtPreset());
    case Vertical::morvale: return std::make_unique<MorvalePreset>(defaultMorvalePreset());
    case Vertical::skeldon: return std::make_unique<SkeldonPreset>(defaultSkeldonPreset());
    }
    return std::make_unique<MorvalePreset>(defaultMorvalePreset());
}

std::optional<Vertical> verticalNamed(std::string_view name) {
    const std::string lower = ascii::lowered(name);
    auto among = [&lower](std::initializer_list<std::string_view> words) {
        return std::find(words.begin(), words.end(), lower) != words.end();
    };
    if (among({"varnholt", "listing", "realestate", "real-estate", "photos", "com.kadrel.varnholtpro"}))
        return Vertical::varnholt;
    if (among({"texture", "textures", "morvale", "tex", "game", "com.kadrel.morvale"})) return Vertical::morvale;
    if (among({"skeldon", "pod", "podcast", "audio", "com.kadrel.skeldon"})) return Vertical::skeldon;
    return std::nullopt;
}

std::optional<Vertical> verticalForPresetID(std::string_view id) {
    for (auto v : allVerticals()) {
        if (defaultPreset(v)->id() == id) return v;
    }
    return std::nullopt;
}

}  // namespace morvale
