#pragma once

#include "av_engine/audiogram_generator.h"
#include "av_engine/cleanup_options.h"
#include "av_engine/ffmpeg_runner.h"
#include "av_engine/id3_tag_injector.h"
#include "av_engine/loudness_normalizer.h"
#include "av_engine/loudness_processor.h"
#include "av_engine/speech_recogniser.h"
#include "av_engine/transcriber.h"
#include "base/callbacks.h"
#include "base/memory_budget.h"

#include <array>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// The one entry to the podcast export: a caller fills a request per episode and calls
// processMultiFormat, which turns the recording into every requested output. The pipeline holds only
// its collaborators (the default recogniser with the decoder pool that bounds transcription across the
// process), so one instance serves any number of exports at once from any threads.
class AudioVideoPipeline {
public:
    struct Options {
        // Where FFmpeg is looked for; an empty list means there is none.
        std::vector<std::filesystem::path> ffmpegSearchLocations = FFmpegRunner::defaultSearchLocations();
        std::filesystem::path speechModelFolder = Transcriber::defaultModelFolder();
        // Speech decoders loaded at once by all exports together; 0 means one per processor the process
        // may use.
        std::size_t decoders = 0;
        // Recognises the episode's words; none means pocketsphinx with the model and decoders above.
        std::shared_ptr<const SpeechRecogniser> recogniser;
        // Cleans the episode and the music and matches their loudness; none means a LoudnessNormalizer.
        std::shared_ptr<const LoudnessProcessor> loudness;
        // What the heavy stages reserve their working memory from; none means the process's budget,
        // which texture and listing items share.
        MemoryBudget* memoryBudget = nullptr;
    };

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

    AudioVideoPipeline() : AudioVideoPipeline(Options{}) {}
    explicit AudioVideoPipeline(Options options);
    // The collaborators point at the pipeline's own runner.
    AudioVideoPipeline(const AudioVideoPipeline&) = delete;
    AudioVideoPipeline& operator=(const AudioVideoPipeline&) = delete;

    // The shared pipeline; it keeps no per-export state, so it is shared read-only.
    static const AudioVideoPipeline& shared();

    // True when an FFmpeg executable can be found (searched afresh on every read): the distribution
    // master is then an MP3, otherwise an M4A.
    bool producesMP3() const;
    // Whether transcripts can be made: the recogniser can work (pocketsphinx: the speech model's files
    // are there).
    bool transcribes() const;

    // Runs every stage the request asks for, synchronously on the calling thread, and returns the files
    // written into the destination folder in the order written. Scratch files live in a private folder
    // (temp_directory_path()/"Skeldon-<UUID>", mode 0700) that is removed on every way out. Stages that
    // cannot run (no transcript, an unreadable chapter list, missing music, no FFmpeg) are logged and
    // passed over; any other failure is thrown, keeping the outputs already written. A stop request ends
    // the running stage within about 100 ms of work and throws OperationCancelled. Both callbacks may be
    // called from other threads than the caller's. The loudness stage of the episode and of each piece
    // of music, the transcription and the audiogram each hold their working memory from the memory
    // budget while they run (waiting for it, stoppably, when other work holds it); a stage that needs
    // more than the whole budget throws MemoryBudgetExceeded (a transcription's is logged as skipped).
    std::vector<std::filesystem::path> processMultiFormat(const MultiFormatExportRequest& request,
                                                          const ProgressSink& onProgress = {},
                                                          const LogSink& onLog = {}, std::stop_token stop = {}) const;

    // "_Master_ACX.wav" in ACX mode, else "_Master_%.0fLUFS.wav" of the integrated target.
    static std::string masterSuffix(const LoudnessNormalizer::LoudnessTarget& target);

    // The user's locale as a language tag ("en-US"); the C and POSIX locales count as en-US.
    static std::string currentLocaleIdentifier();

    const LoudnessNormalizer& normalizer() const { return normalizer_; }
    const ID3TagInjector& tagInjector() const { return tagInjector_; }
    const AudiogramGenerator& audiogramGenerator() const { return audiogramGenerator_; }
    const FFmpegRunner& ffmpeg() const { return ffmpeg_; }

private:
    class Export;

    FFmpegRunner ffmpeg_;
    std::shared_ptr<const SpeechRecogniser> recogniser_;
    std::shared_ptr<const LoudnessProcessor> loudness_;
    MemoryBudget& memory_;
    LoudnessNormalizer normalizer_;
    ID3TagInjector tagInjector_;
    AudiogramGenerator audiogramGenerator_;
};

}  // namespace morvale
