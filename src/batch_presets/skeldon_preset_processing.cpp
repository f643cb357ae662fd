#include "batch_presets/skeldon_preset.h"

#include "base/c_format.h"
#include "batch_core/token_renamer.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace morvale {

namespace fs = std::filesystem;

namespace {

// Every suffix an export may write after the base name. Both distribution masters are claimed:
// whether FFmpeg is there is decided only when the export reaches that stage.
std::vector<std::string> outputSuffixes(const AudioVideoPipeline::MultiFormatExportRequest& request) {
    std::vector<std::string> suffixes;
    if (request.generateMaster) suffixes.push_back(AudioVideoPipeline::masterSuffix(request.targetLUFS));
    if (request.targetLUFS.acx) suffixes.emplace_back("_ACX_Check.txt");
    if (request.chapters.kind() != AudioVideoPipeline::ChapterSetting::Kind::off) {
        suffixes.insert(suffixes.end(), {"_Chapters.json", "_Chapters.txt"});
    }
    if (request.generateRSSMaster) suffixes.insert(suffixes.end(), {"_RSS_192k.mp3", "_RSS.m4a"});
    if (request.generateWhisperReference) suffixes.emplace_back("_WhisperRef_16k.wav");
    if (request.generateTranscripts) {
        suffixes.insert(suffixes.end(), {"_Transcript.srt", "_Transcript.vtt", "_Transcript.txt"});
    }
    if (request.generateAudiogram) suffixes.emplace_back("_Audiogram.mp4");
    return suffixes;
}

std::int64_t currentYear() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) == nullptr) return 1970;
    return std::int64_t{local.tm_year} + 1900;
}

std::string withSpaces(std::string text) {
    std::replace(text.begin(), text.end(), '_', ' ');
    return text;
}

}  // namespace

std::map<std::string, std::string> SkeldonPreset::nameVariables(const BatchItem& item, std::int64_t index) const {
    std::int64_t episode = 0;
    if (__builtin_add_overflow(episodeNumber, index - 1, &episode)) {
        episode = episodeNumber < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    }
    return {{"show", showTitle}, {"ep", std::to_string(episode)}, {"title", item.originalFileName}};
}

AudioVideoPipeline::MultiFormatExportRequest SkeldonPreset::exportRequest(const BatchItem& item,
                                                                          const ProcessingContext& context) const {
    const auto variables = nameVariables(item, context.itemIndex);
    const std::int64_t episode = std::stoll(variables.at("ep"));
    const std::string baseName = TokenRenamer().resolve(context.configuration.namingPattern, item, context.itemIndex,
                                                        context.totalItems, variables);

    ID3TagInjector::PodcastMetadata tags;
    tags.title = withSpaces(item.originalFileName);
    tags.artist = hostName;
    tags.podcastName = showTitle;
    tags.episodeNumber = episode;
    tags.showNotes = loudnessStandard_ == LoudnessStandard::acx
                         ? std::string("Exported with Skeldon for Audible / ACX.")
                         : cformat("Exported with Skeldon. Loudness normalized to %.0f LUFS.", targetLUFS);
    tags.releaseYear = currentYear();
    tags.artworkURL = artworkURL;

    AudioVideoPipeline::MultiFormatExportRequest request(item.sourceURL, context.configuration.outputDirectory, baseName,
                                                         std::move(tags), generateMaster, generateRSSMaster,
                                                         generateWhisperReference, generateAudiogram, loudnessTarget());
    request.cleanup = effectiveCleanup();
    request.introURL = introURL;
    request.outroURL = outroURL;
    request.generateTranscripts = generateTranscripts;
    request.captionAudiogram = captionAudiogram;
    request.audiogramAspect = audiogramAspect;
    request.audiogramClip = audiogramClip;
    request.audiogramSeconds = audiogramSeconds;
    request.removeFillers = removeFillerWords;
    switch (chapterMode) {
    case ChapterMode::off: request.chapters = AudioVideoPipeline::ChapterSetting::off(); break;
    case ChapterMode::automatic: request.chapters = AudioVideoPipeline::ChapterSetting::automatic(); break;
    case ChapterMode::manual: request.chapters = AudioVideoPipeline::ChapterSetting::manual(chapterList); break;
    }
    return request;
}

std::vector<fs::path> SkeldonPreset::processWith(const BatchItem& item, const ProcessingContext& context,
                                                 const Exporter& exporter) const {
    // A NaN target would reach the file name and the tags as "nan"; refuse it before any work.
    const LoudnessNormalizer::LoudnessTarget target = loudnessTarget();
    if (!std::isfinite(target.integratedLUFS) || !std::isfinite(target.truePeakDB)) {
        throw std::invalid_argument("Invalid loudness target");
    }
    const auto request = exportRequest(item, context);

    std::vector<fs::path> reads{item.sourceURL};
    for (const auto* file : {&introURL, &outroURL, &artworkURL}) {
        if (*file) reads.push_back(**file);
    }
    RunLedger& ledger = *context.ledger;
    ledger.noteReads(item, reads);
    for (const std::string& suffix : outputSuffixes(request)) {
        ledger.claimOutput(item, request.destinationDirectory / (request.baseFileName + suffix));
    }

    // Each callback keeps its own copy of what it calls: the engine may call it from its threads.
    const ProgressSink progress = [report = context.onProgressUpdate](double fraction, const std::string& message) {
        report(fraction, message);
    };
    const LogSink log = [line = context.log](const std::string& message) { line(message); };
    return exporter(request, progress, log, context.stopToken);
}

std::vector<fs::path> SkeldonPreset::process(const BatchItem& item, const ProcessingContext& context) const {
    return processWith(item, context,
                       [](const AudioVideoPipeline::MultiFormatExportRequest& request, const ProgressSink& onProgress,
                          const LogSink& onLog, std::stop_token stop) {
                           return AudioVideoPipeline::shared().processMultiFormat(request, onProgress, onLog,
                                                                                  std::move(stop));
                       });
}

}  // namespace morvale
