#include "av_engine/true_peak_detector.h"

#include <algorithm>
#include <cmath>

namespace morvale {

namespace {

// ITU-R BS.1770-4 Annex 2 interpolator, one row per phase, taps applied newest sample first.
constexpr float kCoefficients[TruePeakDetector::kPhases][TruePeakDetector::kTaps] = {
    {0.0017089843750f, 0.0109863281250f, -0.0196533203125f, 0.0332031250000f, -0.0594482421875f, 0.1373291015625f,
     0.9721679687500f, -0.1022949218750f, 0.0476074218750f, -0.0266113281250f, 0.0148925781250f, -0.0083007812500f},
    {-0.0291748046875f, 0.0292968750000f, -0.0517578125000f, 0.0891113281250f, -0.1665039062500f, 0.4650878906250f,
     0.7797851562500f, -0.2003173828125f, 0.1015625000000f, -0.0582275390625f, 0.0330810546875f, -0.0189208984375f},
    {-0.0189208984375f, 0.0330810546875f, -0.0582275390625f, 0.1015625000000f, -0.2003173828125f, 0.7797851562500f,
     0.4650878906250f, -0.1665039062500f, 0.0891113281250f, -0.0517578125000f, 0.0292968750000f, -0.0291748046875f},
    {-0.0083007812500f, 0.0148925781250f, -0.0266113281250f, 0.0476074218750f, -0.1022949218750f, 0.9721679687500f,
     0.1373291015625f, -0.0594482421875f, 0.0332031250000f, -0.0196533203125f, 0.0109863281250f, 0.0017089843750f},
};

// The same table by tap, four phases side by side, so one pass over the window yields all four points.
struct TapMajor {
    float values[TruePeakDetector::kTaps][TruePeakDetector::kPhases];
};

constexpr TapMajor tapMajor() {
    TapMajor t{};
    for (int k = 0; k < TruePeakDetector::kPhases; ++k) {
        for (int i = 0; i < TruePeakDetector::kTaps; ++i) t.values[i][k] = kCoefficients[k][i];
    }
    return t;
}

constexpr TapMajor kByTap = tapMajor();

// Largest gain any phase can apply to a window whose samples are all within ±1: the bound behind skipping.
float phaseGainBound() {
    float bound = 1.0f;
    for (const auto& row : kCoefficients) {
        float sum = 0.0f;
        for (float c : row) sum += std::fabs(c);
        bound = std::max(bound, sum);
    }
    return bound * 1.001f;
}

}  // namespace

TruePeakDetector::TruePeakDetector(int channels)
    : channels_(std::max(1, channels)),
      history_(static_cast<std::size_t>(channels_) * 2 * kTaps, 0.0f),
      position_(static_cast<std::size_t>(channels_), 0),
      quietRun_(static_cast<std::size_t>(channels_), kTaps) {}

void TruePeakDetector::processRun(const float* frames, std::int64_t count) {
    static const float kBound = phaseGainBound();
    if (count <= 0) return;
    const auto ch = static_cast<std::size_t>(channels_);
    const auto n = static_cast<std::size_t>(count);
    bool quiet = n >= static_cast<std::size_t>(kTaps);
    for (std::size_t c = 0; c < ch && quiet; ++c) quiet = quietRun_[c] >= kTaps;
    float loudest = 0.0f;
    if (quiet) {
        for (std::size_t i = 0; i < n * ch; ++i) {
            const float x = frames[i];
            loudest = std::max(loudest, std::isfinite(x) ? std::fabs(x) : 0.0f);
        }
        quiet = loudest * kBound <= maxPeak_;
    }
    if (!quiet) {
        for (std::size_t f = 0; f < n; ++f) process(frames + f * ch, maxPeak_);
        return;
    }
    // Nothing here can beat the maximum: only the history the next run's first windows need is kept.
    maxPeak_ = std::max(maxPeak_, loudest);
    for (std::size_t f = n - static_cast<std::size_t>(kTaps); f < n; ++f) {
        for (std::size_t c = 0; c < ch; ++c) {
            float* ring = history_.data() + c * 2 * kTaps;
            int& pos = position_[c];
            pos = pos == 0 ? kTaps - 1 : pos - 1;
            const float x = frames[f * ch + c];
            ring[pos] = std::isfinite(x) ? x : 0.0f;
            ring[pos + kTaps] = ring[pos];
        }
    }
}

float TruePeakDetector::process(const float* frame, float floor) {
    static const float kBound = phaseGainBound();
    float framePeak = 0.0f;
    for (int c = 0; c < channels_; ++c) {
        const auto ci = static_cast<std::size_t>(c);
        float x = frame[c];
        if (!std::isfinite(x)) x = 0.0f;
        float* ring = history_.data() + ci * 2 * kTaps;
        int& pos = position_[ci];
        // Newest sample at ring[pos], older ones following: ring[pos .. pos + kTaps) is the window.
        pos = pos == 0 ? kTaps - 1 : pos - 1;
        ring[pos] = x;
        ring[pos + kTaps] = x;
        const float magnitude = std::fabs(x);
        framePeak = std::max(framePeak, magnitude);
        if (magnitude * kBound <= floor) {
            if (quietRun_[ci] < kTaps) ++quietRun_[ci];
        } else {
            quietRun_[ci] = 0;
        }
        if (quietRun_[ci] >= kTaps) continue;
        const float* window = ring + pos;
        float sums[kPhases] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int t = 0; t < kTaps; ++t) {
            const float w = window[t];
            for (int k = 0; k < kPhases; ++k) sums[k] += kByTap.values[t][k] * w;
        }
        for (float sum : sums) framePeak = std::max(framePeak, std::fabs(sum));
    }
    maxPeak_ = std::max(maxPeak_, framePeak);
    return framePeak;
}

}  // namespace morvale
