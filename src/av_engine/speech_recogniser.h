#pragma once

#include "av_engine/caption_word.h"
#include "av_engine/transcriber.h"
#include "base/callbacks.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace morvale {

// What the podcast export asks for an episode's words. The export checks `isSupported` first, logs any
// error of `transcribe` other than OperationCancelled as a skipped transcript, and takes the words as the
// truth for filler cuts, chapters, captions and the audiogram clip. One recogniser serves every export of
// a pipeline at once: implementations are thread-safe.
class SpeechRecogniser {
public:
    virtual ~SpeechRecogniser() = default;

    // Whether `transcribe` can work at all on this machine.
    virtual bool isSupported() const = 0;
    // Words in time order, seconds from the start of `file`. Throws when nothing can be recognised, and
    // OperationCancelled when `stop` fires.
    virtual std::vector<CaptionWord> transcribe(const std::filesystem::path& file, const std::string& localeIdentifier,
                                                const LogSink& log, std::stop_token stop) const = 0;
    // Bytes one `transcribe` of `seconds` of audio may take at its peak, which the export holds from the
    // process's memory budget while it runs; 0 for a recogniser that takes nothing worth counting.
    virtual std::uint64_t workingMemory(double seconds) const {
        (void)seconds;
        return 0;
    }
};

// The recogniser the pipeline uses unless given another: pocketsphinx's English model through
// Transcriber, on one pool of decoders that bounds the memory of all exports together.
class PocketsphinxRecogniser final : public SpeechRecogniser {
public:
    // `decoders` 0 means one per processor the process may use.
    PocketsphinxRecogniser(std::filesystem::path modelFolder, std::size_t decoders);

    bool isSupported() const override;
    std::vector<CaptionWord> transcribe(const std::filesystem::path& file, const std::string& localeIdentifier,
                                        const LogSink& log, std::stop_token stop) const override;
    // Every decoder of the pool may take a segment: each is about 100 MB of model and search, and holds
    // up to three segments (two queued, one decoding) of at most 30 s of 16 kHz mono float.
    std::uint64_t workingMemory(double seconds) const override;

private:
    std::filesystem::path modelFolder_;
    // Shared through a const recogniser: leasing a decoder changes the pool, not the recogniser.
    std::shared_ptr<DecoderPool> pool_;
};

}  // namespace morvale
