#pragma once

#include "av_engine/cleanup_options.h"
#include "av_engine/speech_cleanup.h"
#include "base/callbacks.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace morvale {

// Turns one recording into a mastered 24-bit WAV at a loudness target: analyse, plan the clean-up, render
// through the processing chain, measure and correct the gain at most twice. Keeps no state between calls.
class LoudnessNormalizer {
public:
    using LogCallback = LogSink;

    struct LoudnessTarget {
        double integratedLUFS = -16.0;  // target loudness, or target RMS level in dB when acx
        double truePeakDB = -1.5;       // true-peak ceiling
        double loudnessRangeLU = 11.0;  // carried, not read
        bool acx = false;               // match the audiobook RMS rule and produce its report

        static LoudnessTarget stereoPodcast() { return {-16.0, -1.5, 11.0, false}; }
        static LoudnessTarget monoPodcast() { return {-19.0, -1.5, 11.0, false}; }
        static LoudnessTarget audibleACX() { return {-20.0, -3.5, 11.0, true}; }

        bool operator==(const LoudnessTarget&) const = default;
    };

    struct Measurement {
        double integratedLUFS = -70.0;
        double truePeakDBTP = -90.0;
        double sampleRate = 0.0;
        int channels = 0;
        double durationSeconds = 0.0;
        double rmsDB = -90.0;
        double samplePeakDB = -90.0;
        double noiseFloorDB = -90.0;
    };

    struct ACXReport {
        double rmsDB = 0.0;
        double peakDB = 0.0;
        double noiseFloorDB = 0.0;
        double sampleRate = 0.0;

        bool rmsOK() const { return rmsDB >= -23.0 && rmsDB <= -18.0; }
        bool peakOK() const { return peakDB <= -3.0; }
        bool noiseOK() const { return noiseFloorDB <= -60.0; }
        bool passes() const { return rmsOK() && peakOK() && noiseOK(); }
        std::string text() const;
    };

    struct Result {
        Measurement input;
        Measurement output;
        double gainDB = 0.0;
        double limiterReductionDB = 0.0;
        std::optional<double> humRemovedHz;
        double secondsRemoved = 0.0;
        std::optional<std::pair<double, double>> levelerRangeDB;  // lowest, highest
        std::optional<ACXReport> acxReport;
    };

    class NormalizerError : public std::runtime_error {
    public:
        enum class Kind { silentOrTooShort, cannotCreateExportSession, exportFailed };
        NormalizerError(Kind kind, const std::filesystem::path& file);
        Kind kind() const { return kind_; }

    private:
        Kind kind_;
    };

    // The whole operation; `destination` is replaced only when everything succeeded.
    Result process(const std::filesystem::path& source, const std::filesystem::path& destination,
                   const LoudnessTarget& target, const CleanupOptions& cleanup, const LogCallback& log = {}) const;
    Result normalize(const std::filesystem::path& source, const std::filesystem::path& destination,
                     const LoudnessTarget& target, const LogCallback& log = {}) const;
    // Analysis without hum detection; integratedLUFS is -70 when nothing is measurable.
    Measurement measure(const std::filesystem::path& file, const LogCallback& log = {}) const;
    // One streaming pass over the file at its own rate and channel count.
    AudioAnalysis analyze(const std::filesystem::path& file, bool detectHum, const LogCallback& log = {}) const;

    static std::optional<double> detectHum(const std::vector<float>& mono, double sampleRate) {
        return detectHumIn(mono, sampleRate);
    }
    static double noiseFloor(const std::vector<double>& levelsDB) { return noiseFloorOf(levelsDB); }
};

}  // namespace morvale
