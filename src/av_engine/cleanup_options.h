#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace morvale {

// The user's speech clean-up switches. Every threshold the clean-up derives from them is relative to
// the recording's own levels, so the same options suit quiet and loud recordings alike.
struct CleanupOptions {
    enum class HumMode { off, autoDetect, hz50, hz60 };

    bool rumbleFilter = false;          // 80 Hz high-pass
    HumMode humRemoval = HumMode::off;
    bool noiseGate = false;
    bool leveler = false;
    bool trimSilence = false;           // trim leading and trailing silence
    double maxPauseSeconds = 0.0;       // longest pause kept inside the recording; 0 leaves pauses alone
    double roomToneSeconds = 0.3;       // silence kept before the first and after the last speech

    CleanupOptions() = default;
    CleanupOptions(bool rumble, HumMode hum, bool gate, bool level, bool trim, double maxPause)
        : rumbleFilter(rumble), humRemoval(hum), noiseGate(gate), leveler(level), trimSilence(trim),
          maxPauseSeconds(maxPause) {}

    // Every switch off: the pipeline compares against this to tell a plain loudness pass from a clean-up.
    static CleanupOptions none() { return CleanupOptions{}; }

    bool operator==(const CleanupOptions&) const = default;

    // Raw texts "off", "auto", "50", "60" (stored by the settings codec).
    static std::string_view rawValue(HumMode mode);
    // "Off", "Auto-detect", "50 Hz (Europe, Asia)", "60 Hz (Americas)".
    static std::string_view displayName(HumMode mode);
    // Exact match of a raw text; anything else gives nothing.
    static std::optional<HumMode> fromRaw(std::string_view raw);
    // off, auto, 50 Hz, 60 Hz, in this order.
    static std::span<const HumMode> allCases();
};

}  // namespace morvale
