#include "av_engine/speech_recogniser.h"

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

}  // namespace morvale
