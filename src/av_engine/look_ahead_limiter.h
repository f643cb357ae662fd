#pragma once

#include "av_engine/true_peak_detector.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace morvale {

// Holds the true peak of a signal under a ceiling without clicks: the audio is delayed, each frame's gain
// target (ceiling over its true peak) is minimised over twice the look-ahead, averaged over the look-ahead,
// applied at once when falling and released over 80 ms. A frame never leaves with a gain above its own
// target. The delay is the look-ahead plus the true-peak detector's latency.
class LookaheadLimiter {
public:
    LookaheadLimiter(int channels, double sampleRate, double ceilingDB);

    // Consumes frame `frame` of an interleaved chunk and appends at most one delayed, scaled frame to `out`.
    void step(std::span<const float> chunk, std::int64_t frame, std::vector<float>& out);
    // Pushes the frames still in the delay line out with silence; output then equals input in length.
    void flush(std::vector<float>& out);

    int lookahead() const { return lookahead_; }
    int delayFrames() const { return delay_; }
    // Deepest gain reduction applied so far, in dB (0 or negative).
    double maxReductionDB() const { return 20.0 * std::log10(std::max(1e-6, static_cast<double>(lowestGain_))); }

private:
    void stepFrame(const float* frame, std::vector<float>& out);

    int channels_;
    int lookahead_;
    int delay_;
    float ceiling_;
    float release_;
    TruePeakDetector detector_;
    std::vector<float> delayLine_;
    int delayPos_ = 0;
    std::vector<std::int64_t> dequeIndex_;
    std::vector<float> dequeValue_;
    std::size_t dequeHead_ = 0;
    std::vector<float> avgRing_;
    int avgPos_ = 0;
    double avgSum_;
    float env_ = 1.0f;
    std::int64_t frameIndex_ = 0;
    int pendingSkip_;
    float lowestGain_ = 1.0f;
    std::vector<float> silence_;
};

}  // namespace morvale
