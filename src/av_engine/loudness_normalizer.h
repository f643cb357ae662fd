#pragma once

#include "av_engine/cleanup_options.h"
#include "av_engine/filler_remover.h"
#include "av_engine/speech_cleanup.h"
#include "av_engine/time_range.h"
#include "base/callbacks.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stop_token>
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

    // Sees the render while it is written: started() before each pass (a later pass replaces everything
    // the earlier ones delivered), then every run of samples as the 24-bit WAV gets them. Called on the
    // thread that calls process(); a throw fails the render like a write error.
    class RenderListener {
    public:
        virtual ~RenderListener() = default;
        virtual void started(double sampleRate, int channels) = 0;
        virtual void rendered(const float* samples, std::int64_t frames) = 0;
    };

    class NormalizerError : public std::runtime_error {
    public:
        enum class Kind { silentOrTooShort, cannotCreateExportSession, exportFailed };
        NormalizerError(Kind kind, const std::filesystem::path& file);
        Kind kind() const { return kind_; }

    private:
        Kind kind_;
    };

    // The whole operation; `destination` is replaced only when everything succeeded. Every pass checks
    // `stop` as it decodes (every few milliseconds of audio): a stop removes the render file and throws
    // OperationCancelled, leaving `destination` as it was.
    Result process(const std::filesystem::path& source, const std::filesystem::path& destination,
                   const LoudnessTarget& target, const CleanupOptions& cleanup, const LogCallback& log = {},
                   std::stop_token stop = {}, RenderListener* listener = nullptr) const;
    Result normalize(const std::filesystem::path& source, const std::filesystem::path& destination,
                     const LoudnessTarget& target, const LogCallback& log = {}, std::stop_token stop = {}) const;
    // Analysis without hum detection; integratedLUFS is -70 when nothing is measurable.
    Measurement measure(const std::filesystem::path& file, const LogCallback& log = {},
                        std::stop_token stop = {}) const;
    // One streaming pass over the file at its own rate and channel count.
    AudioAnalysis analyze(const std::filesystem::path& file, bool detectHum, const LogCallback& log = {},
                          std::stop_token stop = {}) const;

    static std::optional<double> detectHum(const std::vector<float>& mono, double sampleRate) {
        return detectHumIn(mono, sampleRate);
    }
    static double noiseFloor(const std::vector<double>& levelsDB) { return noiseFloorOf(levelsDB); }

    // File edits around the mastering step. Each is one streaming pass that writes a 24-bit WAV through a
    // temporary file (or returns a curve), fades every cut and join so nothing clicks, and otherwise leaves
    // the level alone. Reading errors pass through; when `stop` fires the partial output is removed and
    // OperationCancelled is thrown.

    // Drops the time ranges (seconds; any order, overlaps merged, empty or non-finite ones ignored) with
    // 6 ms fades on both sides of each cut; same rate and channels as the source.
    void cut(const std::filesystem::path& source, const std::filesystem::path& destination,
             const std::vector<TimeRange>& removing, const LogCallback& log = {}, std::stop_token stop = {}) const;
    // Joins the sources, each converted to `sampleRate` and `channels`, each faded in from silence and
    // out over its last 15 ms actually decoded. No sources give an empty WAV.
    void concatenate(const std::vector<std::filesystem::path>& sources, const std::filesystem::path& destination,
                     double sampleRate, int channels, const LogCallback& log = {}, std::stop_token stop = {}) const;
    // `length` seconds from `start`, with 20 ms fades in and out over the frames written; a start past the
    // end, or a start or length that is negative or not finite, gives an empty WAV.
    void excerpt(const std::filesystem::path& source, const std::filesystem::path& destination, double start,
                 double length, const LogCallback& log = {}, std::stop_token stop = {}) const;
    // Linear RMS of every complete `step` seconds of the file at 8 kHz mono; empty for a step below one
    // sample or not a finite positive number.
    std::vector<float> levels(const std::filesystem::path& file, double step, const LogCallback& log = {},
                              std::stop_token stop = {}) const;
    // One level and brightness per complete 20 ms of the file at 16 kHz mono.
    std::vector<FillerRemover::SpeechFrame> speechFrames(const std::filesystem::path& file, const LogCallback& log = {},
                                                         std::stop_token stop = {}) const;
};

}  // namespace morvale
