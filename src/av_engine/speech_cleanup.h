#pragma once

#include "av_engine/cleanup_options.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace morvale {

// What one analysis pass learns about a recording. Block arrays hold one value per complete 100 ms block.
struct AudioAnalysis {
    double sampleRate = 0.0;
    int channels = 0;
    std::int64_t frames = 0;
    std::optional<double> integratedLUFS;
    std::vector<double> weightedEnergy;  // K-weighted energy, summed over channels, mean over the block
    std::vector<double> blockRMSdB;      // channel-averaged mean square in dB
    std::optional<double> humFrequency;
    double noiseFloorDB = -90.0;
    double truePeak = -90.0;   // dBTP
    double samplePeak = -90.0; // dBFS
    double rmsDB = -90.0;      // dBFS
};

// Half-open range of frames.
struct FrameRange {
    std::int64_t start = 0;
    std::int64_t end = 0;
    bool operator==(const FrameRange&) const = default;
};

// Concrete instructions for one render, derived from an analysis and the user's options.
struct CleanupPlan {
    std::optional<double> humFrequency;
    std::optional<double> gateThresholdDB;
    std::vector<double> levelerGains;  // dB per 100 ms block; may be empty
    std::vector<FrameRange> cuts;      // sorted by start

    static CleanupPlan make(const AudioAnalysis& analysis, const CleanupOptions& options);
    // Element at min(count - 1, trunc(q * (count - 1))) of the sorted values; nothing for no values.
    static std::optional<double> percentile(std::vector<double> values, double q);
};

// Quietens (by 12 dB) rather than mutes whatever stays under the threshold; opens in 3 ms, closes in 150 ms.
class NoiseGate {
public:
    NoiseGate(double thresholdDB, double sampleRate);
    // Gain for one frame given its peak after the filters and before any gain.
    float gain(float peak);

private:
    float threshold_;
    float floorGain_ = 0.25f;
    float attack_;
    float release_;
    float decay_;
    float envelope_ = 0.0f;
    float gain_ = 1.0f;
};

// Drops the frames of sorted, disjoint cuts and fades the audio on both sides of each.
class CutRenderer {
public:
    CutRenderer(std::vector<FrameRange> cuts, std::int64_t fadeFrames);
    // Nothing for a frame to drop, else the fade gain. Frames must be asked in increasing order.
    std::optional<float> gain(std::int64_t frame);

private:
    std::vector<FrameRange> cuts_;
    std::int64_t fade_;
    std::size_t index_ = 0;
};

// Block levels in dB to one noise-floor level: the quietest half second by energy.
double noiseFloorOf(const std::vector<double>& levelsDB);

// 50, 60 or nothing: whether mono samples carry mains hum, judged against neighbouring frequencies.
std::optional<double> detectHumIn(const std::vector<float>& mono, double sampleRate);

}  // namespace morvale
