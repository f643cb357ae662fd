#pragma once

#include "av_engine/biquad.h"
#include "av_engine/true_peak_detector.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace morvale {

// Integrated loudness after ITU-R BS.1770 (K-weighting, 400 ms blocks every 100 ms, absolute gate at
// -70 LUFS, relative gate 10 LU down) and true peak, fed chunk by chunk so an episode is measured while it
// streams. All channel weights are 1.
class LoudnessMeter {
public:
    LoudnessMeter(double sampleRate, int channels);

    // Feeds `frames` interleaved frames.
    void process(std::span<const float> samples, std::int64_t frames);

    // Nothing when fewer than four 100 ms blocks exist or nothing passes the gates.
    std::optional<double> integratedLUFS() const;
    double truePeakDBTP() const;

    double sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    std::int64_t framesProcessed() const { return framesProcessed_; }
    std::int64_t subBlockFrames() const { return subBlockFrames_; }
    // Mean-square K-weighted energy (summed over channels) of every completed 100 ms block.
    const std::vector<double>& subBlocks() const { return subBlocks_; }

    // Frames in a 100 ms analysis block at `sampleRate`: max(1, rate x 0.1 rounded half away from zero).
    static std::int64_t blockFrames(double sampleRate);
    // BS.1770 loudness of a mean-square energy.
    static double loudnessOf(double energy);

private:
    double sampleRate_;
    int channels_;
    std::vector<KWeighting> filters_;
    std::int64_t subBlockFrames_;
    double subBlockAccumulator_ = 0.0;
    std::int64_t subBlockCount_ = 0;
    std::vector<double> subBlocks_;
    TruePeakDetector peak_;
    std::int64_t framesProcessed_ = 0;
    std::vector<double> energy_;  // per-frame scratch, reused across chunks
};

}  // namespace morvale
