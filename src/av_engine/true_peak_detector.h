#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace morvale {

// True peak after ITU-R BS.1770-4 Annex 2: each channel is oversampled four times with the 48-tap
// polyphase interpolator and the largest absolute value is kept, together with the sample itself.
//
// The interpolated points around a sample are only known kLatencyFrames frames after it arrived; callers
// that act on the peak (the limiter) delay their audio by that much more.
//
// Most frames cannot beat the peak that matters to the caller; `floor` lets the detector skip the
// interpolation when every sample in the filter's reach is too small to exceed it. Its result is then
// some value not above `floor`. The meter passes its running maximum, the limiter its ceiling.
class TruePeakDetector {
public:
    static constexpr int kTaps = 12;
    static constexpr int kPhases = 4;
    static constexpr int kLatencyFrames = 6;

    explicit TruePeakDetector(int channels);

    // Consumes one interleaved frame; returns the largest absolute value it revealed over all channels.
    float process(const float* frame, float floor);
    float process(std::span<const float> chunk, std::int64_t frame, float floor) {
        return process(chunk.data() + frame * channels_, floor);
    }

    // Feeds a run of frames where only the overall maximum matters (a meter): runs that cannot beat the
    // maximum so far only refresh the filter history.
    void processRun(const float* frames, std::int64_t count);

    int channels() const { return channels_; }
    float maxPeak() const { return maxPeak_; }

private:
    int channels_;
    // Per channel the last kTaps samples, stored twice so the newest kTaps are always contiguous.
    std::vector<float> history_;
    std::vector<int> position_;
    std::vector<int> quietRun_;
    float maxPeak_ = 0.0f;
};

}  // namespace morvale
