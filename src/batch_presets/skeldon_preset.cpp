#include "batch_presets/skeldon_preset.h"

#include <cmath>

namespace morvale {

const std::array<SkeldonPreset::LoudnessStandard, 7>& SkeldonPreset::allLoudnessStandards() {
    static const std::array<LoudnessStandard, 7> all{LoudnessStandard::applePodcasts, LoudnessStandard::spotify,
                                                     LoudnessStandard::youtube,       LoudnessStandard::ebuR128,
                                                     LoudnessStandard::atsc,          LoudnessStandard::acx,
                                                     LoudnessStandard::custom};
    return all;
}

std::string_view SkeldonPreset::rawValue(LoudnessStandard standard) {
    switch (standard) {
    case LoudnessStandard::applePodcasts: return "apple";
    case LoudnessStandard::spotify: return "spotify";
    case LoudnessStandard::youtube: return "youtube";
    case LoudnessStandard::ebuR128: return "ebu";
    case LoudnessStandard::atsc: return "atsc";
    case LoudnessStandard::acx: return "acx";
    case LoudnessStandard::custom: return "custom";
    }
    return {};
}

std::string_view SkeldonPreset::displayName(LoudnessStandard standard) {
    switch (standard) {
    case LoudnessStandard::applePodcasts: return "Apple Podcasts (-16 LUFS)";
    case LoudnessStandard::spotify: return "Spotify (-14 LUFS)";
    case LoudnessStandard::youtube: return "YouTube (-14 LUFS)";
    case LoudnessStandard::ebuR128: return "Broadcast EBU R128 (-23 LUFS)";
    case LoudnessStandard::atsc: return "Broadcast ATSC A/85 (-24 LKFS)";
    case LoudnessStandard::acx: return "Audible / ACX audiobook";
    case LoudnessStandard::custom: return "Custom";
    }
    return {};
}

std::optional<double> SkeldonPreset::lufs(LoudnessStandard standard) {
    switch (standard) {
    case LoudnessStandard::applePodcasts: return -16.0;
    case LoudnessStandard::spotify:
    case LoudnessStandard::youtube: return -14.0;
    case LoudnessStandard::ebuR128: return -23.0;
    case LoudnessStandard::atsc: return -24.0;
    case LoudnessStandard::acx:
    case LoudnessStandard::custom: return std::nullopt;
    }
    return std::nullopt;
}

double SkeldonPreset::truePeak(LoudnessStandard standard) {
    switch (standard) {
    case LoudnessStandard::atsc: return -2.0;
    case LoudnessStandard::acx: return -3.5;
    default: return -1.0;
    }
}

std::optional<SkeldonPreset::LoudnessStandard> SkeldonPreset::loudnessStandardFromRaw(std::string_view raw) {
    for (auto s : allLoudnessStandards()) {
        if (rawValue(s) == raw) return s;
    }
    return std::nullopt;
}

std::optional<SkeldonPreset::LoudnessStandard> SkeldonPreset::matching(double value) {
    for (auto s : allLoudnessStandards()) {
        auto l = lufs(s);
        // NaN compares false and so matches nothing.
        if (l && std::fabs(*l - value) < 0.05) return s;
    }
    return std::nullopt;
}

const std::array<SkeldonPreset::ChapterMode, 3>& SkeldonPreset::allChapterModes() {
    static const std::array<ChapterMode, 3> all{ChapterMode::off, ChapterMode::automatic, ChapterMode::manual};
    return all;
}

std::string_view SkeldonPreset::rawValue(ChapterMode mode) {
    switch (mode) {
    case ChapterMode::off: return "off";
    case ChapterMode::automatic: return "auto";
    case ChapterMode::manual: return "manual";
    }
    return {};
}

std::string_view SkeldonPreset::displayName(ChapterMode mode) {
    switch (mode) {
    case ChapterMode::off: return "Off";
    case ChapterMode::automatic: return "Automatic (from pauses)";
    case ChapterMode::manual: return "My list";
    }
    return {};
}

std::optional<SkeldonPreset::ChapterMode> SkeldonPreset::chapterModeFromRaw(std::string_view raw) {
    for (auto m : allChapterModes()) {
        if (rawValue(m) == raw) return m;
    }
    return std::nullopt;
}

SkeldonPreset::SkeldonPreset(std::string show, std::string host, std::int64_t episode, double target, bool rss,
                             bool whisper, bool audiogram, std::optional<std::filesystem::path> artwork)
    : showTitle(std::move(show)),
      hostName(std::move(host)),
      episodeNumber(episode),
      targetLUFS(target),
      generateRSSMaster(rss),
      generateWhisperReference(whisper),
      generateAudiogram(audiogram),
      artworkURL(std::move(artwork)),
      loudnessStandard_(matching(target).value_or(LoudnessStandard::custom)) {}

std::string SkeldonPreset::description() const {
    return "Cleans up and loudness-matches episodes for Apple, Spotify, YouTube, broadcast or Audible (ACX), adds "
           "intro/outro music, tags the RSS file, and makes on-device transcripts and captioned audiograms.";
}

std::set<std::string> SkeldonPreset::supportedExtensions() const {
    return {"wav", "aif", "aiff", "mp3", "m4a", "flac", "mov", "mp4", "caf"};
}

void SkeldonPreset::setLoudnessStandard(LoudnessStandard standard) {
    loudnessStandard_ = standard;
    if (auto l = lufs(standard)) targetLUFS = *l;
}

LoudnessNormalizer::LoudnessTarget SkeldonPreset::loudnessTarget() const {
    if (loudnessStandard_ == LoudnessStandard::acx) return {-20.0, -3.5, 11.0, true};
    return {targetLUFS, loudnessStandard_ == LoudnessStandard::atsc ? -2.0 : -1.0, 11.0, false};
}

CleanupOptions SkeldonPreset::effectiveCleanup() const {
    CleanupOptions c = cleanup;
    if (loudnessStandard_ == LoudnessStandard::acx) c.roomToneSeconds = 1.0;
    return c;
}

bool operator==(const SkeldonPreset& a, const SkeldonPreset& b) {
    return a.showTitle == b.showTitle && a.hostName == b.hostName && a.episodeNumber == b.episodeNumber &&
           a.loudnessStandard_ == b.loudnessStandard_ && a.targetLUFS == b.targetLUFS && a.cleanup == b.cleanup &&
           a.introURL == b.introURL && a.outroURL == b.outroURL && a.generateMaster == b.generateMaster &&
           a.generateRSSMaster == b.generateRSSMaster && a.generateWhisperReference == b.generateWhisperReference &&
           a.generateTranscripts == b.generateTranscripts && a.generateAudiogram == b.generateAudiogram &&
           a.captionAudiogram == b.captionAudiogram && a.audiogramAspect == b.audiogramAspect &&
           a.audiogramClip == b.audiogramClip && a.audiogramSeconds == b.audiogramSeconds &&
           a.removeFillerWords == b.removeFillerWords && a.chapterMode == b.chapterMode &&
           a.chapterList == b.chapterList && a.artworkURL == b.artworkURL;
}

}  // namespace morvale
