#include "av_engine/speech_cleanup.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace morvale {

namespace {

double energyToDB(double energy) { return 10.0 * std::log10(std::max(1e-12, energy)); }

// Goertzel power at one frequency over a window, normalised by its length.
double goertzel(const float* samples, std::size_t count, double frequency, double sampleRate) {
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / sampleRate);
    double s1 = 0.0;
    double s2 = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double s = static_cast<double>(samples[i]) + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = std::max(0.0, s1 * s1 + s2 * s2 - coefficient * s1 * s2);
    return power / static_cast<double>(count);
}

std::int64_t roundedBlocks(double seconds) {
    const double blocks = std::round(seconds * 10.0);
    if (!std::isfinite(blocks) || blocks < 0.0) return 0;
    return static_cast<std::int64_t>(std::min(blocks, 1.0e12));
}

}  // namespace

double noiseFloorOf(const std::vector<double>& levelsDB) {
    if (levelsDB.empty()) return -100.0;
    std::vector<double> levels(levelsDB.size());
    std::transform(levelsDB.begin(), levelsDB.end(), levels.begin(),
                   [](double v) { return std::isnan(v) ? -100.0 : std::max(-100.0, v); });
    if (levels.size() < 5) return *std::min_element(levels.begin(), levels.end());
    double lowest = 0.0;
    bool first = true;
    for (std::size_t i = 0; i + 5 <= levels.size(); ++i) {
        double sum = 0.0;
        for (std::size_t k = i; k < i + 5; ++k) sum += std::pow(10.0, levels[k] / 10.0);
        const double level = 10.0 * std::log10(sum / 5.0);
        if (first || level < lowest) {
            lowest = level;
            first = false;
        }
    }
    return lowest;
}

std::optional<double> detectHumIn(const std::vector<float>& mono, double sampleRate) {
    if (!std::isfinite(sampleRate) || sampleRate < 1.0) return std::nullopt;
    const auto n = static_cast<std::size_t>(sampleRate);
    if (mono.size() <= n) return std::nullopt;
    auto score = [&](double f0) {
        double total = 0.0;
        int windows = 0;
        for (std::size_t start = 0; start + n <= mono.size(); start += 4 * n) {
            double onTone = 0.0;
            double neighbours = 0.0;
            for (int k = 1; k <= 4; ++k) {
                const double f = k * f0;
                onTone += goertzel(mono.data() + start, n, f, sampleRate);
                neighbours += goertzel(mono.data() + start, n, f - 7.0, sampleRate);
                neighbours += goertzel(mono.data() + start, n, f + 7.0, sampleRate);
            }
            total += onTone / std::max(1e-15, 0.5 * neighbours);
            ++windows;
        }
        return windows > 0 ? total / windows : 0.0;
    };
    const double s50 = score(50.0);
    const double s60 = score(60.0);
    if (std::max(s50, s60) < 6.0) return std::nullopt;
    return s60 < s50 ? 50.0 : 60.0;
}

std::optional<double> CleanupPlan::percentile(std::vector<double> values, double q) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const double position = q * static_cast<double>(values.size() - 1);
    std::size_t index = values.size() - 1;
    if (std::isfinite(position) && position < static_cast<double>(values.size() - 1)) {
        index = position > 0.0 ? static_cast<std::size_t>(position) : 0;
    }
    return values[index];
}

CleanupPlan CleanupPlan::make(const AudioAnalysis& analysis, const CleanupOptions& options) {
    CleanupPlan plan;
    switch (options.humRemoval) {
    case CleanupOptions::HumMode::off: break;
    case CleanupOptions::HumMode::autoDetect: plan.humFrequency = analysis.humFrequency; break;
    case CleanupOptions::HumMode::hz50: plan.humFrequency = 50.0; break;
    case CleanupOptions::HumMode::hz60: plan.humFrequency = 60.0; break;
    }

    const std::vector<double>& levels = analysis.blockRMSdB;
    const auto n = static_cast<std::int64_t>(levels.size());
    if (n == 0) return plan;
    const auto blockLength = static_cast<std::int64_t>(std::max(1.0, std::round(analysis.sampleRate * 0.1)));

    std::vector<double> speechBlocks;
    for (double level : levels) {
        if (level > -70.0) speechBlocks.push_back(level);
    }
    const double speech = percentile(speechBlocks, 0.75).value_or(-30.0);
    const double noise = analysis.noiseFloorDB;
    const double threshold = std::min(std::max({noise + 8.0, speech - 32.0, -65.0}), speech - 20.0);

    if (options.noiseGate) plan.gateThresholdDB = std::min(speech - 20.0, noise + 10.0);

    const auto& energy = analysis.weightedEnergy;
    if (options.leveler && analysis.integratedLUFS && n >= 10 && static_cast<std::int64_t>(energy.size()) >= n) {
        const double integrated = *analysis.integratedLUFS;
        // Prefix sums keep the 3-second window average constant-time per block.
        std::vector<double> prefix(static_cast<std::size_t>(n) + 1, 0.0);
        for (std::int64_t i = 0; i < n; ++i) {
            prefix[static_cast<std::size_t>(i) + 1] = prefix[static_cast<std::size_t>(i)] + energy[static_cast<std::size_t>(i)];
        }
        std::vector<double> raw(static_cast<std::size_t>(n), 0.0);
        double previous = 0.0;
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t lo = std::max<std::int64_t>(0, i - 15);
            const std::int64_t hi = std::min(n, i + 15);
            const double mean = (prefix[static_cast<std::size_t>(hi)] - prefix[static_cast<std::size_t>(lo)]) /
                                static_cast<double>(hi - lo);
            const double shortTerm = energyToDB(mean) - 0.691;
            if (levels[static_cast<std::size_t>(i)] > threshold && shortTerm > integrated - 20.0) {
                previous = std::clamp(integrated - shortTerm, -6.0, 8.0);
            }
            raw[static_cast<std::size_t>(i)] = previous;
        }
        std::vector<double> rawPrefix(static_cast<std::size_t>(n) + 1, 0.0);
        for (std::int64_t i = 0; i < n; ++i) {
            rawPrefix[static_cast<std::size_t>(i) + 1] = rawPrefix[static_cast<std::size_t>(i)] + raw[static_cast<std::size_t>(i)];
        }
        plan.levelerGains.resize(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t lo = std::max<std::int64_t>(0, i - 10);
            const std::int64_t hi = std::min(n, i + 11);
            plan.levelerGains[static_cast<std::size_t>(i)] =
                (rawPrefix[static_cast<std::size_t>(hi)] - rawPrefix[static_cast<std::size_t>(lo)]) / static_cast<double>(hi - lo);
        }
    }

    if (options.trimSilence || options.maxPauseSeconds > 0.0) {
        const std::int64_t roomTone = std::max<std::int64_t>(1, roundedBlocks(options.roomToneSeconds));
        const std::int64_t maxPause = roundedBlocks(options.maxPauseSeconds);
        std::vector<FrameRange> cuts;
        std::int64_t i = 0;
        while (i < n) {
            if (levels[static_cast<std::size_t>(i)] > threshold) {
                ++i;
                continue;
            }
            const std::int64_t k = i;
            while (i < n && levels[static_cast<std::size_t>(i)] <= threshold) ++i;
            const std::int64_t l = i;
            if (options.trimSilence && k == 0 && roomTone < l) {
                cuts.push_back({0, blockLength * (l - roomTone)});
            } else if (options.trimSilence && l == n && roomTone < n - k) {
                cuts.push_back({blockLength * (k + roomTone), analysis.frames});
            } else if (options.maxPauseSeconds > 0.0 && k >= 1 && l < n && l - k > maxPause) {
                cuts.push_back({blockLength * (k + maxPause / 2), blockLength * (l - maxPause / 2)});
            }
        }
        const std::int64_t limit = std::max<std::int64_t>(1, analysis.frames);
        for (auto& cut : cuts) {
            cut.start = std::clamp<std::int64_t>(cut.start, 0, limit);
            cut.end = std::clamp<std::int64_t>(cut.end, 0, limit);
        }
        std::erase_if(cuts, [](const FrameRange& r) { return r.end <= r.start; });
        std::stable_sort(cuts.begin(), cuts.end(), [](const FrameRange& a, const FrameRange& b) { return a.start < b.start; });
        plan.cuts = std::move(cuts);
    }
    return plan;
}

NoiseGate::NoiseGate(double thresholdDB, double sampleRate)
    : threshold_(static_cast<float>(std::pow(10.0, thresholdDB / 20.0))),
      attack_(static_cast<float>(std::exp(-1.0 / (0.003 * sampleRate)))),
      release_(static_cast<float>(std::exp(-1.0 / (0.15 * sampleRate)))),
      decay_(static_cast<float>(std::exp(-1.0 / (0.05 * sampleRate)))) {}

float NoiseGate::gain(float peak) {
    if (peak > envelope_) {
        envelope_ = peak;
    } else {
        envelope_ = peak + (envelope_ - peak) * decay_;
    }
    const float target = envelope_ >= threshold_ ? 1.0f : floorGain_;
    gain_ = target + (gain_ - target) * (gain_ < target ? attack_ : release_);
    return gain_;
}

CutRenderer::CutRenderer(std::vector<FrameRange> cuts, std::int64_t fadeFrames)
    : cuts_(std::move(cuts)), fade_(std::max<std::int64_t>(1, fadeFrames)) {}

std::optional<float> CutRenderer::gain(std::int64_t frame) {
    while (index_ < cuts_.size() && cuts_[index_].end <= frame) ++index_;
    double g = 1.0;
    if (index_ < cuts_.size()) {
        const FrameRange& cut = cuts_[index_];
        if (frame >= cut.start) return std::nullopt;
        const std::int64_t d = cut.start - frame;
        if (d < fade_) g = std::min(1.0, static_cast<double>(d) / static_cast<double>(fade_));
    }
    if (index_ > 0) {
        const std::int64_t e = frame - cuts_[index_ - 1].end;
        if (e < fade_) g = std::min(g, static_cast<double>(e + 1) / static_cast<double>(fade_));
    }
    return static_cast<float>(g);
}

}  // namespace morvale
