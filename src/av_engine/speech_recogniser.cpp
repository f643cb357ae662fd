#include "av_engine/speech_recogniser.h"

#include <algorithm>
#include <cmath>

namespace morvale {

PocketsphinxRecogniser::PocketsphinxRecogniser(std::filesystem::path modelFolder, std::size_t decoders)
    : modelFolder_(std::move(modelFolder)), pool_(std::make_shared<DecoderPool>(decoders)) {}

bool PocketsphinxRecogniser::isSupported() const { return Transcriber::isSupported(modelFolder_); }

std::vector<CaptionWord> PocketsphinxRecogniser::transcribe(const std::filesystem::path& file,
                                                            const std::string& localeIdentifier, const LogSink& log,
                                                            std::stop_token stop) const {
    Transcriber::Options options;
    options.modelFolder = modelFolder_;
    options.pool = pool_;
    // The pool bounds the decoders of all exports together; one export may use all of them.
    options.decodersPerFile = pool_->capacity();
    return Transcriber(options).transcribe(file, localeIdentifier, {}, log, std::move(stop));
}

std::uint64_t PocketsphinxRecogniser::workingMemory(double seconds) const {
    constexpr std::uint64_t decoderBytes = std::uint64_t{100} << 20;
    constexpr std::uint64_t segmentBytes = 30 * 16000 * sizeof(float);
    // The word list: a few dozen bytes a word, a few words a second.
    const double wordSeconds = std::isfinite(seconds) ? std::clamp(seconds, 0.0, 3.2e8) : 0.0;
    const std::uint64_t words = static_cast<std::uint64_t>(wordSeconds) * 256;
    return pool_->capacity() * (decoderBytes + 3 * segmentBytes) + words;
}

}  // namespace morvale
