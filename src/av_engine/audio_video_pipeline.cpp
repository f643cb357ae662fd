#include "av_engine/audio_video_pipeline.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace morvale {

namespace fs = std::filesystem;

namespace {

struct ClipWords {
    AudioVideoPipeline::ClipChoice::Kind kind;
    std::string_view key;
    std::array<std::string_view, 3> aliases;
};

constexpr std::array<ClipWords, 2> kClipWords{{
    {AudioVideoPipeline::ClipChoice::Kind::automatic, "auto", {"best", "liveliest", ""}},
    {AudioVideoPipeline::ClipChoice::Kind::start, "start", {"0", "0:00", "00:00"}},
}};

class NormalizerLoudness final : public LoudnessProcessor {
public:
    LoudnessNormalizer::Result process(const fs::path& source, const fs::path& destination,
                                       const LoudnessNormalizer::LoudnessTarget& target, const CleanupOptions& cleanup,
                                       const LogSink& log, std::stop_token stop) const override {
        return normalizer_.process(source, destination, target, cleanup, log, std::move(stop));
    }
    LoudnessNormalizer::Result processFollowed(const fs::path& source, const fs::path& destination,
                                               const LoudnessNormalizer::LoudnessTarget& target,
                                               const CleanupOptions& cleanup, const LogSink& log, std::stop_token stop,
                                               LoudnessNormalizer::RenderListener& listener) const override {
        return normalizer_.process(source, destination, target, cleanup, log, std::move(stop), &listener);
    }

private:
    LoudnessNormalizer normalizer_;
};

}  // namespace

std::string_view AudioVideoPipeline::ClipChoice::key(Kind kind) {
    for (const auto& w : kClipWords) {
        if (w.kind == kind) return w.key;
    }
    return {};
}

std::optional<AudioVideoPipeline::ClipChoice> AudioVideoPipeline::ClipChoice::fromKey(std::string_view word) {
    for (const auto& w : kClipWords) {
        bool named = word == w.key;
        for (std::string_view alias : w.aliases) named = named || (!alias.empty() && word == alias);
        if (named) return ClipChoice(w.kind, 0);
    }
    return std::nullopt;
}

AudioVideoPipeline::MultiFormatExportRequest::MultiFormatExportRequest(
    fs::path source, fs::path destination, std::string baseName, ID3TagInjector::PodcastMetadata tags,
    bool master, bool rssMaster, bool whisperReference, bool audiogram, LoudnessNormalizer::LoudnessTarget target)
    : sourceURL(std::move(source)),
      destinationDirectory(std::move(destination)),
      baseFileName(std::move(baseName)),
      metadata(std::move(tags)),
      generateMaster(master),
      generateRSSMaster(rssMaster),
      generateWhisperReference(whisperReference),
      generateAudiogram(audiogram),
      targetLUFS(target),
      transcriptLocale(currentLocaleIdentifier()) {}

AudioVideoPipeline::AudioVideoPipeline(Options options)
    : ffmpeg_(std::move(options.ffmpegSearchLocations)),
      recogniser_(options.recogniser ? std::move(options.recogniser)
                                     : std::make_shared<PocketsphinxRecogniser>(std::move(options.speechModelFolder),
                                                                                options.decoders)),
      loudness_(options.loudness ? std::move(options.loudness) : std::make_shared<NormalizerLoudness>()),
      memory_(options.memoryBudget != nullptr ? *options.memoryBudget : MemoryBudget::process()),
      tagInjector_(ffmpeg_) {}

const AudioVideoPipeline& AudioVideoPipeline::shared() {
    static const AudioVideoPipeline pipeline{};
    return pipeline;
}

bool AudioVideoPipeline::producesMP3() const { return ffmpeg_.isFFmpegAvailable(); }

bool AudioVideoPipeline::transcribes() const { return recogniser_->isSupported(); }

std::string AudioVideoPipeline::masterSuffix(const LoudnessNormalizer::LoudnessTarget& target) {
    if (target.acx) return "_Master_ACX.wav";
    char buf[64];
    std::snprintf(buf, sizeof buf, "_Master_%.0fLUFS.wav", target.integratedLUFS);
    return buf;
}

std::string AudioVideoPipeline::currentLocaleIdentifier() {
    // Read from the environment rather than the process locale, which the shell's toolkit changes.
    const char* value = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            value = v;
            break;
        }
    }
    std::string text = value ? value : "";
    if (auto cut = text.find_first_of(".@"); cut != std::string::npos) text.resize(cut);
    if (text.empty() || text == "C" || text == "POSIX") return "en-US";
    for (char& c : text) {
        if (c == '_') c = '-';
    }
    return text;
}

}  // namespace morvale
