#include "av_engine/audio_video_pipeline.h"
#include "av_engine/ffmpeg_runner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace morvale {
namespace {

using Clip = AudioVideoPipeline::ClipChoice;
using Chapters = AudioVideoPipeline::ChapterSetting;

TEST(ExportRequest, NineArgumentRequestDefaultsTheRest) {
    const AudioVideoPipeline::MultiFormatExportRequest r("/in/ep.wav", "/out", "Show_01", {}, true, true, false, true,
                                                         LoudnessNormalizer::LoudnessTarget{-16, -1, 11, false});
    EXPECT_EQ(r.cleanup, CleanupOptions::none());
    EXPECT_FALSE(r.introURL || r.outroURL);
    EXPECT_FALSE(r.generateTranscripts || r.captionAudiogram || r.removeFillers);
    EXPECT_EQ(r.audiogramAspect, AudiogramGenerator::AspectRatio::square);
    EXPECT_EQ(r.audiogramSeconds, 45);
    EXPECT_EQ(r.audiogramClip, Clip::start());
    EXPECT_EQ(r.chapters, Chapters::off());
    EXPECT_FALSE(r.transcriptLocale.empty());
}

TEST(ExportRequest, ClipAndChapterEquality) {
    EXPECT_EQ(Clip::at(30), Clip::at(30));
    EXPECT_NE(Clip::at(30), Clip::at(31));
    EXPECT_NE(Clip::at(30), Clip::start());
    EXPECT_NE(Clip::at(0), Clip::start());
    EXPECT_NE(Clip::start(), Clip::automatic());
    EXPECT_NE(Clip::at(std::nan("")), Clip::at(std::nan("")));
    EXPECT_NE(Chapters::manual(""), Chapters::off());
    EXPECT_EQ(Chapters::manual("0:00 A"), Chapters::manual("0:00 A"));
    EXPECT_NE(Chapters::manual("0:00 A"), Chapters::manual("0:00 B"));
    EXPECT_EQ(Chapters::automatic(), Chapters::automatic());
}

TEST(ExportRequest, MasterSuffix) {
    EXPECT_EQ(AudioVideoPipeline::masterSuffix({-16, -1, 11, false}), "_Master_-16LUFS.wav");
    EXPECT_EQ(AudioVideoPipeline::masterSuffix({-14, -1, 11, false}), "_Master_-14LUFS.wav");
    EXPECT_EQ(AudioVideoPipeline::masterSuffix({-23.4, -1, 11, false}), "_Master_-23LUFS.wav");
    EXPECT_EQ(AudioVideoPipeline::masterSuffix({-20, -3.5, 11, true}), "_Master_ACX.wav");
    EXPECT_EQ(AudioVideoPipeline::masterSuffix({-5, -1, 11, true}), "_Master_ACX.wav");
}

TEST(ExportRequest, FFmpegSearchAndLocale) {
    const auto places = FFmpegRunner::defaultSearchLocations();
    ASSERT_FALSE(places.empty());
    EXPECT_EQ(places.back(), std::filesystem::path("/usr/bin/ffmpeg"));
    bool anyExecutable = false;
    for (const auto& p : places) anyExecutable = anyExecutable || std::filesystem::exists(p);
    EXPECT_EQ(AudioVideoPipeline::shared().producesMP3(), anyExecutable);

    const char* saved = std::getenv("LC_ALL");
    const std::string keep = saved ? saved : "";
    ::setenv("LC_ALL", "de_AT.UTF-8", 1);
    EXPECT_EQ(AudioVideoPipeline::currentLocaleIdentifier(), "de-AT");
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(AudioVideoPipeline::currentLocaleIdentifier(), "en-US");
    if (saved) ::setenv("LC_ALL", keep.c_str(), 1); else ::unsetenv("LC_ALL");
}

TEST(AudiogramAspect, KeysAndNames) {
    using A = AudiogramGenerator::AspectRatio;
    EXPECT_EQ(AudiogramGenerator::aspectRatio("Reel"), A::vertical);
    EXPECT_EQ(AudiogramGenerator::aspectRatio("portrait"), std::nullopt);
    EXPECT_EQ(AudiogramGenerator::aspectRatio("LANDSCAPE"), A::landscape);
    EXPECT_EQ(AudiogramGenerator::aspectRatio("1X1"), A::square);
    EXPECT_EQ(AudiogramGenerator::aspectRatio(" wide"), std::nullopt);
    for (A a : AudiogramGenerator::allAspectRatios) EXPECT_EQ(AudiogramGenerator::aspectRatio(AudiogramGenerator::key(a)), a);
    EXPECT_EQ(AudiogramGenerator::key(A::landscape), "wide");
    EXPECT_EQ(AudiogramGenerator::shortName(A::vertical), "Vertical 9:16 (Reels, TikTok, Shorts)");
    EXPECT_EQ(AudiogramGenerator::dimensions(A::landscape), (std::pair<int, int>{1920, 1080}));
}

}  // namespace
}  // namespace morvale
