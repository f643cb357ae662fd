#include "av_engine/loudness_meter.h"

#include <algorithm>
#include <cmath>

namespace morvale {

std::int64_t LoudnessMeter::blockFrames(double sampleRate) {
    const double frames = std::round(sampleRate * 0.1);
    if (!std::isfinite(frames) || frames < 1.0) return 1;
    return static_cast<std::int64_t>(std::min(frames, 1.0e9));
}

double LoudnessMeter::loudnessOf(double energy) { return 10.0 * std::log10(std::max(1e-12, energy)) - 0.691; }

LoudnessMeter::LoudnessMeter(double sampleRate, int channels)
    : sampleRate_(sampleRate),
      channels_(std::max(1, channels)),
      filters_(static_cast<std::size_t>(channels_), KWeighting(sampleRate)),
      subBlockFrames_(blockFrames(sampleRate)),
      peak_(channels_) {}

void LoudnessMeter::process(std::span<const float> samples, std::int64_t frames) {
    const auto ch = static_cast<std::size_t>(channels_);
    frames = std::min<std::int64_t>(frames, static_cast<std::int64_t>(samples.size() / ch));
    if (frames <= 0) return;
    const auto count = static_cast<std::size_t>(frames);
    const float* data = samples.data();
    energy_.assign(count, 0.0);
    // Channel by channel with the filter state in locals: the two biquads then run from registers.
    for (std::size_t c = 0; c < ch; ++c) {
        KWeighting filter = filters_[c];
        for (std::size_t f = 0; f < count; ++f) {
            const float x = data[f * ch + c];
            // A NaN or infinite sample would poison every later block; it counts as silence instead.
            const double y = filter.step(std::isfinite(x) ? static_cast<double>(x) : 0.0);
            energy_[f] += y * y;
        }
        filters_[c] = filter;
    }
    peak_.processRun(data, frames);
    for (std::size_t f = 0; f < count; ++f) {
        subBlockAccumulator_ += energy_[f];
        if (++subBlockCount_ == subBlockFrames_) {
            subBlocks_.push_back(subBlockAccumulator_ / static_cast<double>(subBlockFrames_));
            subBlockAccumulator_ = 0.0;
            subBlockCount_ = 0;
        }
    }
    framesProcessed_ += frames;
}

std::optional<double> LoudnessMeter::integratedLUFS() const {
    const std::size_t n = subBlocks_.size();
    if (n < 4) return std::nullopt;
    std::vector<double> gated;
    gated.reserve(n - 3);
    double gatedSum = 0.0;
    for (std::size_t i = 3; i < n; ++i) {
        const double z = (subBlocks_[i - 3] + subBlocks_[i - 2] + subBlocks_[i - 1] + subBlocks_[i]) / 4.0;
        if (loudnessOf(z) > -70.0) {
            gated.push_back(z);
            gatedSum += z;
        }
    }
    if (gated.empty()) return std::nullopt;
    const double threshold = loudnessOf(gatedSum / static_cast<double>(gated.size())) - 10.0;
    double sum = 0.0;
    std::size_t kept = 0;
    for (double z : gated) {
        if (loudnessOf(z) > threshold) {
            sum += z;
            ++kept;
        }
    }
    if (kept == 0) return std::nullopt;
    return loudnessOf(sum / static_cast<double>(kept));
}

double LoudnessMeter::truePeakDBTP() const {
    return 20.0 * std::log10(std::max(1e-9, static_cast<double>(peak_.maxPeak())));
}

}  // namespace morvale
