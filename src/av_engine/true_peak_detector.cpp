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
        for (const auto& row : kCoefficients) {
            float sum = 0.0f;
            for (int t = 0; t < kTaps; ++t) sum += row[t] * window[t];
            framePeak = std::max(framePeak, std::fabs(sum));
        }
    }
    maxPeak_ = std::max(maxPeak_, framePeak);
    return framePeak;
}

}  // namespace morvale
