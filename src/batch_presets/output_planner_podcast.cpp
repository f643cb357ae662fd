// The podcast branch of the output planner: what SkeldonPreset's export would write for one episode.

#include <exception>
#include <system_error>

#include "av_engine/audio_video_pipeline.h"
#include "av_engine/chapter_builder.h"
#include "av_engine/pcm_stream.h"
#include "batch_presets/internal/output_plan.h"

namespace morvale::output_plan {

namespace fs = std::filesystem;

namespace {

std::optional<double> duration(const fs::path& file) {
    try {
        return PCMStream::format(file).durationSeconds;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

void planPodcast(const SkeldonPreset& preset, const BatchItem& item, std::int64_t index,
                 const TextureOutputNames::Resolve& resolve, PlannedItem& out) {
    auto& names = out.report.projectedFileNames;
    auto& warnings = out.report.warnings;
    const std::string base = resolve(preset.nameVariables(item, index));
    const AudioVideoPipeline& pipeline = AudioVideoPipeline::shared();
    // Asked afresh for every item, as the export does.
    const bool transcribes = pipeline.transcribes();
    const auto target = preset.loudnessTarget();

    // The finished programme is the episode with its intro and outro; chapters at or past its end
    // are dropped by the export.
    const auto episode = duration(item.sourceURL);
    std::optional<double> programme = episode;
    bool introMissing = false, outroMissing = false;
    const auto addMusic = [&](const std::optional<fs::path>& music, bool& missing) {
        if (!music) return;
        std::error_code error;
        if (!fs::exists(*music, error)) {
            missing = true;
            return;
        }
        const auto length = duration(*music);
        if (programme && length) *programme += *length;
    };
    addMusic(preset.introURL, introMissing);
    addMusic(preset.outroURL, outroMissing);

    bool chapters = false;
    bool chapterListUnreadable = false;
    if (preset.chapterMode == SkeldonPreset::ChapterMode::automatic) {
        chapters = transcribes;
    } else if (preset.chapterMode == SkeldonPreset::ChapterMode::manual) {
        auto parsed = ChapterBuilder::parse(preset.chapterList);
        if (programme) parsed = ChapterBuilder::tidy(std::move(parsed), *programme);
        chapters = !parsed.empty();
        chapterListUnreadable = !chapters;
    }

    if (preset.generateMaster) names.push_back(base + AudioVideoPipeline::masterSuffix(target));
    if (target.acx) names.push_back(base + "_ACX_Check.txt");
    if (preset.generateRSSMaster) names.push_back(base + (pipeline.producesMP3() ? "_RSS_192k.mp3" : "_RSS.m4a"));
    if (preset.generateWhisperReference) names.push_back(base + "_WhisperRef_16k.wav");
    if (preset.generateTranscripts && transcribes) {
        for (const char* suffix : {"_Transcript.srt", "_Transcript.vtt", "_Transcript.txt"}) names.push_back(base + suffix);
    }
    if (chapters) {
        names.push_back(base + "_Chapters.json");
        names.push_back(base + "_Chapters.txt");
    }
    if (preset.generateAudiogram) names.push_back(base + "_Audiogram.mp4");

    // Here the missing piece is the English speech model, not the system version.
    if (preset.generateTranscripts && !transcribes) {
        warnings.emplace_back("Transcripts need the English speech model (pocketsphinx-en-us); they will be skipped");
    }
    if (chapterListUnreadable) {
        warnings.emplace_back("Chapter list is empty or unreadable (use lines like \"5:30 Interview\")");
    }
    if (preset.removeFillerWords && !transcribes) {
        warnings.emplace_back("Filler-word removal needs the English speech model (pocketsphinx-en-us); it will be skipped");
    }
    if (introMissing) warnings.push_back("Intro music not found: " + preset.introURL->filename().string());
    if (outroMissing) warnings.push_back("Outro music not found: " + preset.outroURL->filename().string());
    if (!episode) warnings.emplace_back("Could not read the audio");
}

}  // namespace morvale::output_plan
