#pragma once

#include "av_engine/caption_word.h"
#include "base/ascii.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvale {

// Renders short social-media videos of an audio excerpt: a bar waveform driven by the audio's loudness,
// optional cover art behind it, a title near the top, word-by-word captions with the spoken word
// highlighted, and a progress bar; H.264 (High, yuv420p, BT.709, 4 Mbit/s) and AAC (44.1 kHz stereo,
// 192 kbit/s) in an MP4 with its index first. Stateless: calls may run at once on different threads.
class AudiogramGenerator {
public:
    enum class AspectRatio { square, vertical, landscape };

    static constexpr std::array<AspectRatio, 3> allAspectRatios{AspectRatio::square, AspectRatio::vertical,
                                                                AspectRatio::landscape};

    static std::string_view rawValue(AspectRatio a) {
        switch (a) {
        case AspectRatio::square: return "1:1 (1080x1080)";
        case AspectRatio::vertical: return "9:16 (1080x1920)";
        case AspectRatio::landscape: return "16:9 (1920x1080)";
        }
        return {};
    }

    // The short settings key.
    static std::string_view key(AspectRatio a) {
        switch (a) {
        case AspectRatio::square: return "square";
        case AspectRatio::vertical: return "vertical";
        case AspectRatio::landscape: return "wide";
        }
        return {};
    }

    static std::string_view shortName(AspectRatio a) {
        switch (a) {
        case AspectRatio::square: return "Square 1:1 (Instagram, X)";
        case AspectRatio::vertical: return "Vertical 9:16 (Reels, TikTok, Shorts)";
        case AspectRatio::landscape: return "Wide 16:9 (YouTube)";
        }
        return {};
    }

    // Frame size in pixels (width, height).
    static std::pair<int, int> dimensions(AspectRatio a) {
        switch (a) {
        case AspectRatio::square: return {1080, 1080};
        case AspectRatio::vertical: return {1080, 1920};
        case AspectRatio::landscape: return {1920, 1080};
        }
        return {1080, 1080};
    }

    // Lower-cases the key (no trimming) and accepts the usual spellings of each shape.
    static std::optional<AspectRatio> aspectRatio(std::string_view keyText) {
        // ASCII only: the process locale must not change what a key means.
        const std::string k = ascii::lowered(keyText);
        if (k == "square" || k == "1:1" || k == "1x1") return AspectRatio::square;
        if (k == "vertical" || k == "9:16" || k == "9x16" || k == "story" || k == "reel")
            return AspectRatio::vertical;
        if (k == "wide" || k == "landscape" || k == "16:9" || k == "16x9") return AspectRatio::landscape;
        return std::nullopt;
    }

    struct AudiogramConfig {
        AspectRatio aspectRatio = AspectRatio::square;
        std::optional<double> maxDurationSeconds;
        std::string waveformColor = "#3B82F6";
        // Any picture FFmpeg decodes; one that cannot be read, or is over 16384 px a side or 2^28 px, is left out.
        std::optional<std::filesystem::path> backgroundImageURL;
        int framesPerSecond = 30;  // 1 to 120
        std::vector<CaptionWord> captions;  // times relative to the excerpt
        std::optional<std::string> title;
    };

    // what() is the message:
    //   audioTooShort     "Audio is too short for an audiogram."
    //   writerSetupFailed "Could not set up the audiogram video writer."
    class AudiogramError : public std::runtime_error {
    public:
        enum class Kind { audioTooShort, writerSetupFailed };
        explicit AudiogramError(Kind kind);
        Kind kind() const { return kind_; }

    private:
        Kind kind_;
    };

    // The caption on screen at one frame: which cue and which of its words is being spoken.
    struct CaptionState {
        std::size_t cue;
        std::size_t word;
        friend bool operator==(const CaptionState&, const CaptionState&) = default;
    };

    // "#3B82F6", "3b82f6", " #3B82F6 " as 0xRRGGBB; empty or unreadable text gives 0x3B82F6.
    static std::uint32_t waveformColor(std::string_view text);

    // A cue shows from 50 ms before its first word until 0.6 s after its last; its current word is the
    // last that has started by then.
    static std::optional<CaptionState> captionAt(const std::vector<CaptionCue>& cues, std::int64_t frame, int fps);

    // Writes the MP4 at `destination` (through a temporary file, so a failure leaves any old file there).
    // Throws AudiogramError, PCMStream's errors, std::runtime_error for an encoder or muxer failure, and
    // OperationCancelled (checked between frames) after removing the temporary file.
    void generate(const std::filesystem::path& audio, const std::filesystem::path& destination,
                  const AudiogramConfig& config, std::stop_token stop = {}) const;
};

}  // namespace morvale
