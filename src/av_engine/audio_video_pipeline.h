#pragma once

#include "av_engine/audiogram_generator.h"
#include "av_engine/cleanup_options.h"
#include "av_engine/id3_tag_injector.h"
#include "av_engine/loudness_normalizer.h"

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// The one entry to the podcast export: a caller fills a request per episode.
class AudioVideoPipeline {
public:
    // Where the audiogram excerpt begins.
    class ClipChoice {
    public:
        enum class Kind { at, start, automatic };

        // Any number may be stored; the pipeline keeps the excerpt inside the episode.
        static ClipChoice at(double seconds) { return ClipChoice(Kind::at, seconds); }
        static ClipChoice start() { return ClipChoice(Kind::start, 0); }
        // The pipeline picks the liveliest passage.
        static ClipChoice automatic() { return ClipChoice(Kind::automatic, 0); }

        Kind kind() const { return kind_; }
        // The start of `at`; 0 for the other kinds.
        double seconds() const { return seconds_; }

        // The kinds with a settings word, in the order they are offered.
        static constexpr std::array<Kind, 2> namedKinds{Kind::automatic, Kind::start};
        // "auto", "start"; "" for `at`, which is written as a clock time.
        static std::string_view key(Kind kind);
        // A kind's word or alias ("best", "liveliest"; "0", "0:00", "00:00"), exactly; nothing otherwise.
        static std::optional<ClipChoice> fromKey(std::string_view word);

        // Same kind, and for `at` equal seconds as doubles (a NaN start equals nothing).
        friend bool operator==(const ClipChoice& a, const ClipChoice& b) {
            return a.kind_ == b.kind_ && (a.kind_ != Kind::at || a.seconds_ == b.seconds_);
        }

    private:
        ClipChoice(Kind kind, double s) : kind_(kind), seconds_(s) {}
        Kind kind_;
        double seconds_;
    };

    // Where chapters come from.
    class ChapterSetting {
    public:
        enum class Kind { manual, off, automatic };

        // The user's chapter list, one chapter per line.
        static ChapterSetting manual(std::string list) { return ChapterSetting(Kind::manual, std::move(list)); }
        static ChapterSetting off() { return ChapterSetting(Kind::off, {}); }
        // Chapters at pauses in the transcript.
        static ChapterSetting automatic() { return ChapterSetting(Kind::automatic, {}); }

        Kind kind() const { return kind_; }
        // The list of `manual`; empty for the other kinds.
        const std::string& list() const { return list_; }

        friend bool operator==(const ChapterSetting& a, const ChapterSetting& b) {
            return a.kind_ == b.kind_ && (a.kind_ != Kind::manual || a.list_ == b.list_);
        }

    private:
        ChapterSetting(Kind kind, std::string list) : kind_(kind), list_(std::move(list)) {}
        Kind kind_;
        std::string list_;
    };

    // Everything one export does, for one episode.
    struct MultiFormatExportRequest {
        std::filesystem::path sourceURL;
        std::filesystem::path destinationDirectory;
        std::string baseFileName;
        ID3TagInjector::PodcastMetadata metadata;
        bool generateMaster;
        bool generateRSSMaster;
        bool generateWhisperReference;
        bool generateAudiogram;
        LoudnessNormalizer::LoudnessTarget targetLUFS;
        CleanupOptions cleanup = CleanupOptions::none();
        std::optional<std::filesystem::path> introURL;
        std::optional<std::filesystem::path> outroURL;
        bool generateTranscripts = false;
        bool captionAudiogram = false;
        AudiogramGenerator::AspectRatio audiogramAspect = AudiogramGenerator::AspectRatio::square;
        double audiogramSeconds = 45;
        ClipChoice audiogramClip = ClipChoice::start();
        bool removeFillers = false;
        ChapterSetting chapters = ChapterSetting::off();
        // Language of the transcript, e.g. "en-US"; the user's locale when the request is made.
        std::string transcriptLocale;

        MultiFormatExportRequest(std::filesystem::path sourceURL, std::filesystem::path destinationDirectory,
                                 std::string baseFileName, ID3TagInjector::PodcastMetadata metadata,
                                 bool generateMaster, bool generateRSSMaster, bool generateWhisperReference,
                                 bool generateAudiogram, LoudnessNormalizer::LoudnessTarget targetLUFS);
    };

    // The shared pipeline; it keeps no state, so it is shared read-only.
    static const AudioVideoPipeline& shared();

    // True when an FFmpeg executable can be found (searched afresh on every read): the distribution
    // master is then an MP3, otherwise an M4A.
    bool producesMP3() const;

    // "_Master_ACX.wav" in ACX mode, else "_Master_%.0fLUFS.wav" of the integrated target.
    static std::string masterSuffix(const LoudnessNormalizer::LoudnessTarget& target);

    // The user's locale as a language tag ("en-US"); the C and POSIX locales count as en-US.
    static std::string currentLocaleIdentifier();
};

}  // namespace morvale
