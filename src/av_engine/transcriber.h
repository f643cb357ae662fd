#pragma once

#include "av_engine/caption_word.h"
#include "base/callbacks.h"

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// Decoders shared by every transcription of a process: a decoder costs about 0.43 s and 100 MB to load,
// so at most `capacity` exist at once and an idle one is handed to the next segment instead of being
// loaded again. Whoever owns the long-lived engine owns one pool; thread-safe.
class DecoderPool {
public:
    class Decoder;  // one loaded recogniser

    // Returns its decoder to the pool when it goes.
    class Lease {
    public:
        Lease(DecoderPool& pool, std::unique_ptr<Decoder> decoder);
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        Decoder& decoder() const { return *decoder_; }

    private:
        DecoderPool* pool_;
        std::unique_ptr<Decoder> decoder_;
    };

    // capacity 0 means one decoder per processor the process may use.
    explicit DecoderPool(std::size_t capacity = 0);
    ~DecoderPool();
    DecoderPool(const DecoderPool&) = delete;
    DecoderPool& operator=(const DecoderPool&) = delete;

    std::size_t capacity() const { return capacity_; }

    // Waits for a free slot and loads a decoder for the model unless an idle one is there. Throws
    // OperationCancelled when `stop` fires first, and std::runtime_error when the model does not load.
    Lease acquire(const std::filesystem::path& modelFolder, std::stop_token stop = {});

private:
    void giveBack(std::unique_ptr<Decoder> decoder);

    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable_any freed_;
    std::size_t inUse_ = 0;
    std::vector<std::unique_ptr<Decoder>> idle_;
};

// On-device speech recognition into timed words, the grouping of words into caption cues, and the three
// transcript files: SubRip, WebVTT and plain text with minute markers. Recognition runs the English
// model of pocketsphinx on 16 kHz mono audio cut into segments at pauses; all other operations are pure.
class Transcriber {
public:
    // Failures with fixed messages; errors of reading the audio pass through unchanged.
    class TranscriberError : public std::runtime_error {
    public:
        enum class Kind { unsupportedLanguage, unsupportedSystem, nothingRecognised };
        // unsupportedLanguage: "On-device transcription doesn't support the language <identifier>."
        // unsupportedSystem:   "Transcripts need the English speech model (pocketsphinx-en-us)."
        // nothingRecognised:   "No speech was recognised."
        explicit TranscriberError(Kind kind, const std::string& language = {});
        Kind kind() const { return kind_; }

    private:
        Kind kind_;
    };

    static std::filesystem::path defaultModelFolder();

    struct Options {
        std::filesystem::path modelFolder = defaultModelFolder();
        // Segments of one file decoded at once, each on its own decoder from the pool.
        std::size_t decodersPerFile = 3;
        // Shared with other transcriptions; without one the transcriber makes its own of decodersPerFile.
        std::shared_ptr<DecoderPool> pool;
        // Longest segment handed to a decoder; the audio is cut at pauses before that.
        double maxSegmentSeconds = 30.0;
    };

    Transcriber();
    explicit Transcriber(Options options);

    // The speech model's files exist.
    static bool isSupported(const std::filesystem::path& modelFolder = defaultModelFolder());
    // "en", "en-*" and "en_*" (any case), the C and POSIX locales and an empty identifier map to en-US.
    static bool supportsLanguage(std::string_view localeIdentifier);

    // Words in time order. Throws TranscriberError (unsupported language, missing model, no words at all),
    // the audio reader's errors, and OperationCancelled when `stop` fires (checked about every 100 ms).
    std::vector<CaptionWord> transcribe(const std::filesystem::path& file, const std::string& localeIdentifier,
                                        const ProgressSink& progress = {}, const LogSink& log = {},
                                        std::stop_token stop = {}) const;

    // Words grouped into caption cues of at most `maxCharacters` user-perceived characters and
    // `maxDuration` seconds (transcripts: 42 and 4.0; audiogram: 32 and 3.0), closed at gaps over 0.8 s and
    // after a sentence end.
    static std::vector<CaptionCue> cues(const std::vector<CaptionWord>& words, int maxCharacters, double maxDuration);

    // File texts; `offset` seconds are added to every time written. A cue never ends after the next starts.
    static std::string srt(const std::vector<CaptionCue>& cues, double offset = 0.0);
    static std::string vtt(const std::vector<CaptionCue>& cues, double offset = 0.0);
    static std::string plainText(const std::vector<CaptionWord>& words, double offset = 0.0);

    // "HH:MM:SS<separator>mmm" of max(0, seconds) rounded to whole milliseconds.
    static std::string timestamp(double seconds, char separator);
    // Each word whose text holds several space-separated parts becomes one word per part, sharing its time.
    static std::vector<CaptionWord> splitMultiWordRuns(const std::vector<CaptionWord>& words);

private:
    Options options_;
};

}  // namespace morvale
