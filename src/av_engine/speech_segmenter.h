#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace morvale {

// Cuts 16 kHz mono audio into segments for the recogniser: in the middle of pauses of at least 0.3 s once a
// segment holds a second, and at the quietest moment of its second half when it reaches the longest length
// (30 s), so memory stays bounded however long the file and however few its pauses. Not thread-safe.
class SpeechSegmenter {
public:
    static constexpr int sampleRate = 16000;
    static constexpr int frameSamples = 320;  // 20 ms levels

    struct Segment {
        std::int64_t firstSample = 0;       // in the whole file
        std::vector<std::int16_t> samples;  // 16-bit, as the recogniser takes them
        bool hasSpeech = false;             // holds at least 0.1 s above the pause level
    };
    using Emit = std::function<void(Segment&&)>;

    explicit SpeechSegmenter(double maxSeconds = 30.0);

    void push(std::span<const float> samples, const Emit& emit);
    // Hands over what is left (a partial last frame included).
    void finish(const Emit& emit);

private:
    void endFrame(const Emit& emit);
    void cutAt(std::size_t frame, const Emit& emit);

    std::size_t maxFrames_;
    double reference_ = -100.0;  // slowly decaying peak of frame levels, dB
    double frameEnergy_ = 0.0;
    int frameFill_ = 0;
    std::int64_t segmentStart_ = 0;
    std::vector<std::int16_t> samples_;
    std::vector<float> levels_;  // per complete frame of the open segment
    std::vector<bool> quiet_;
    std::size_t quietRun_ = 0;   // quiet frames ending at the last frame
};

}  // namespace morvale
