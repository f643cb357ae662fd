#pragma once

#include "av_engine/audio_video_pipeline.h"
#include "av_engine/audiogram_generator.h"
#include "av_engine/cleanup_options.h"
#include "av_engine/loudness_normalizer.h"
#include "base/callbacks.h"
#include "batch_core/batch_preset.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// The podcast vertical's preset. `loudnessStandard` is changed only through
// setLoudnessStandard(), which also moves targetLUFS to the standard's loudness.
class SkeldonPreset final : public BatchPreset {
public:
    enum class LoudnessStandard { applePodcasts, spotify, youtube, ebuR128, atsc, acx, custom };

    static const std::array<LoudnessStandard, 7>& allLoudnessStandards();
    static std::string_view rawValue(LoudnessStandard standard);  // "apple", "spotify", ...
    static std::string_view displayName(LoudnessStandard standard);
    static std::optional<double> lufs(LoudnessStandard standard);  // none for acx and custom
    static double truePeak(LoudnessStandard standard);
    static std::optional<LoudnessStandard> loudnessStandardFromRaw(std::string_view raw);
    // The first standard (in declaration order) whose loudness is within 0.05 of `value`.
    static std::optional<LoudnessStandard> matching(double value);

    enum class ChapterMode { off, automatic, manual };

    static const std::array<ChapterMode, 3>& allChapterModes();
    static std::string_view rawValue(ChapterMode mode);  // "off", "auto", "manual"
    static std::string_view displayName(ChapterMode mode);
    static std::optional<ChapterMode> chapterModeFromRaw(std::string_view raw);

    // The standard is the one matching targetLUFS (custom when none does); targetLUFS is kept as given.
    SkeldonPreset(std::string showTitle, std::string hostName, std::int64_t episodeNumber, double targetLUFS,
                  bool generateRSSMaster, bool generateWhisperReference, bool generateAudiogram,
                  std::optional<std::filesystem::path> artworkURL);

    std::string id() const override { return "com.kadrel.skeldon"; }
    std::string displayName() const override { return "Skeldon"; }
    std::string verticalName() const override { return "Podcasting & Video Editing"; }
    std::string description() const override;
    std::string systemIconName() const override { return "waveform.badge.mic"; }
    std::set<std::string> supportedExtensions() const override;
    std::string defaultNamingPattern() const override { return "{show}_{ep:02}_{title}"; }

    // One export of the shared pipeline per item; returns its outputs in the order written.
    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override;

    // Runs one export request: the shared pipeline's processMultiFormat, or a test's stand-in.
    using Exporter = std::function<std::vector<std::filesystem::path>(
        const AudioVideoPipeline::MultiFormatExportRequest& request, const ProgressSink& onProgress,
        const LogSink& onLog, std::stop_token stop)>;
    // process() with the export made by `exporter`. Before it runs, the item's reads (source, music,
    // cover) and every output name the request can produce are entered in the run's ledger, so an item
    // whose names clash with another item's fails instead of replacing its files. Throws
    // OutputConflict, std::invalid_argument "Invalid loudness target" for a non-finite target, and
    // whatever the export throws.
    std::vector<std::filesystem::path> processWith(const BatchItem& item, const ProcessingContext& context,
                                                   const Exporter& exporter) const;
    // The naming pattern's variables for the item at 1-based `index`: "show", "ep" (the episode
    // number plus index - 1, held at the ends of its range) and "title" (the file's name).
    std::map<std::string, std::string> nameVariables(const BatchItem& item, std::int64_t index) const;
    // The request process() hands to the pipeline for the item at `context.itemIndex`.
    AudioVideoPipeline::MultiFormatExportRequest exportRequest(const BatchItem& item,
                                                               const ProcessingContext& context) const;

    LoudnessStandard loudnessStandard() const { return loudnessStandard_; }
    // Stores the standard; a standard with a loudness also sets targetLUFS to it, every time.
    void setLoudnessStandard(LoudnessStandard standard);

    // What the engine is asked for: ACX's fixed target, or targetLUFS with the standard's ceiling.
    LoudnessNormalizer::LoudnessTarget loudnessTarget() const;
    // The clean-up with one second of room tone in ACX mode.
    CleanupOptions effectiveCleanup() const;

    std::string showTitle;
    std::string hostName;
    std::int64_t episodeNumber;
    double targetLUFS;
    CleanupOptions cleanup{true, CleanupOptions::HumMode::autoDetect, false, true, true, 0.0};
    std::optional<std::filesystem::path> introURL;
    std::optional<std::filesystem::path> outroURL;
    bool generateMaster = true;
    bool generateRSSMaster;
    bool generateWhisperReference;
    bool generateTranscripts = true;
    bool generateAudiogram;
    bool captionAudiogram = true;
    AudiogramGenerator::AspectRatio audiogramAspect = AudiogramGenerator::AspectRatio::square;
    AudioVideoPipeline::ClipChoice audiogramClip = AudioVideoPipeline::ClipChoice::automatic();
    double audiogramSeconds = 45;
    bool removeFillerWords = false;
    ChapterMode chapterMode = ChapterMode::off;
    std::string chapterList;
    std::optional<std::filesystem::path> artworkURL;

    friend bool operator==(const SkeldonPreset& a, const SkeldonPreset& b);

private:
    LoudnessStandard loudnessStandard_;
};

}  // namespace morvale
