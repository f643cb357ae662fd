#include "av_engine/cleanup_options.h"

#include <array>

namespace morvale {

namespace {

struct HumModeText {
    CleanupOptions::HumMode mode;
    std::string_view raw;
    std::string_view display;
};

constexpr std::array<HumModeText, 4> kHumModes{{
    {CleanupOptions::HumMode::off, "off", "Off"},
    {CleanupOptions::HumMode::autoDetect, "auto", "Auto-detect"},
    {CleanupOptions::HumMode::hz50, "50", "50 Hz (Europe, Asia)"},
    {CleanupOptions::HumMode::hz60, "60", "60 Hz (Americas)"},
}};

constexpr std::array<CleanupOptions::HumMode, 4> kAllHumModes{
    CleanupOptions::HumMode::off, CleanupOptions::HumMode::autoDetect, CleanupOptions::HumMode::hz50,
    CleanupOptions::HumMode::hz60};

const HumModeText& entry(CleanupOptions::HumMode mode) {
    for (const auto& e : kHumModes) {
        if (e.mode == mode) return e;
    }
    return kHumModes[0];
}

}  // namespace

std::string_view CleanupOptions::rawValue(HumMode mode) { return entry(mode).raw; }

std::string_view CleanupOptions::displayName(HumMode mode) { return entry(mode).display; }

std::optional<CleanupOptions::HumMode> CleanupOptions::fromRaw(std::string_view raw) {
    for (const auto& e : kHumModes) {
        if (e.raw == raw) return e.mode;
    }
    return std::nullopt;
}

std::span<const CleanupOptions::HumMode> CleanupOptions::allCases() { return kAllHumModes; }

}  // namespace morvale
