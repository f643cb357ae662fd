#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>

#include "av_engine/audio_video_pipeline.h"
#include "batch_presets/skeldon_preset.h"
#include "output_planner_support.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// Silence of `seconds` as 8 kHz 16-bit mono WAV.
fs::path writeSilence(const fs::path& file, int seconds) {
    const std::uint32_t data = static_cast<std::uint32_t>(seconds) * 8000u * 2u;
    std::ofstream out(file, std::ios::binary);
    auto put = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    out << "RIFF";
    put(36 + data, 4);
    out << "WAVEfmt ";
    put(16, 4), put(1, 2), put(1, 2), put(8000, 4), put(16000, 4), put(2, 2), put(16, 2);
    out << "data";
    put(data, 4);
    for (std::uint32_t i = 0; i < data; ++i) out.put('\0');
    return file;
}

SkeldonPreset podcast() {
    SkeldonPreset preset("Show", "Host", 5, -16, false, false, false, std::nullopt);
    preset.generateTranscripts = false;
    return preset;
}

TEST(OutputPlannerPodcast, NamesWarningsAndChaptersAgainstTheProgrammesLength) {
    test::TempDir dir;
    const fs::path a = writeSilence(dir / "a.wav", 10), b = writeSilence(dir / "b.wav", 10);
    const bool speech = AudioVideoPipeline::shared().transcribes();
    const std::string rss = AudioVideoPipeline::shared().producesMP3() ? "_RSS_192k.mp3" : "_RSS.m4a";
    const std::string remedy = "; add {index} or {name} to the pattern";
    struct Row {
        std::string title;
        std::function<void(SkeldonPreset&)> tweak;
        std::string pattern;
        std::vector<Lines> expected;
    };
    const std::vector<Row> rows{
        {"episodes never collide under the preset's pattern", [](SkeldonPreset&) {}, "",
         {{"-> Show_05_a_Master_-16LUFS.wav"}, {"-> Show_06_b_Master_-16LUFS.wav"}}},
        {"a pattern without the episode makes every name collide", [](SkeldonPreset& p) { p.generateRSSMaster = true; },
         "{show}",
         {{"-> Show_Master_-16LUFS.wav", "-> Show" + rss, "! Show_Master_-16LUFS.wav is also written by b.wav" + remedy,
           "! Show" + rss + " is also written by b.wav" + remedy},
          {"-> Show_Master_-16LUFS.wav", "-> Show" + rss, "! Show_Master_-16LUFS.wav is also written by a.wav" + remedy,
           "! Show" + rss + " is also written by a.wav" + remedy}}},
        {"ACX with the master off still checks", [](SkeldonPreset& p) {
             p.setLoudnessStandard(SkeldonPreset::LoudnessStandard::acx);
             p.generateMaster = false;
             p.generateWhisperReference = true;
             p.generateAudiogram = true;
         },
         "{title}",
         {{"-> a_ACX_Check.txt", "-> a_WhisperRef_16k.wav", "-> a_Audiogram.mp4"},
          {"-> b_ACX_Check.txt", "-> b_WhisperRef_16k.wav", "-> b_Audiogram.mp4"}}},
        {"chapters at or past the programme's end are dropped", [](SkeldonPreset& p) {
             p.generateMaster = false;
             p.chapterMode = SkeldonPreset::ChapterMode::manual;
             p.chapterList = "0:12 Late";
             p.introURL = "/nowhere/intro.wav";
         },
         "{title}",
         {{"! Chapter list is empty or unreadable (use lines like \"5:30 Interview\")", "! Intro music not found: intro.wav"},
          {"! Chapter list is empty or unreadable (use lines like \"5:30 Interview\")", "! Intro music not found: intro.wav"}}},
        {"chapters inside it are written", [&](SkeldonPreset& p) {
             p.generateMaster = false;
             p.chapterMode = SkeldonPreset::ChapterMode::manual;
             p.chapterList = "0:03 Talk\n0:30 Past the end";
             p.outroURL = b;
         },
         "{title}",
         {{"-> a_Chapters.json", "-> a_Chapters.txt"}, {"-> b_Chapters.json", "-> b_Chapters.txt"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.title);
        SkeldonPreset preset = podcast();
        row.tweak(preset);
        const auto reports = test::planFiles(preset, {a, b}, dir / "out", row.pattern);
        ASSERT_EQ(reports.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(test::lines(reports[i]), row.expected[i]) << i;
    }

    // Transcripts and filler removal hang on the speech model being there.
    SkeldonPreset preset = podcast();
    preset.generateMaster = false;
    preset.generateTranscripts = true;
    preset.removeFillerWords = true;
    preset.chapterMode = SkeldonPreset::ChapterMode::automatic;
    const auto reports = test::planFiles(preset, {a}, dir / "out", "{title}");
    const Lines expected = speech ? Lines{"-> a_Transcript.srt", "-> a_Transcript.vtt", "-> a_Transcript.txt",
                                          "-> a_Chapters.json", "-> a_Chapters.txt"}
                                  : Lines{"! Transcripts need the English speech model (pocketsphinx-en-us); they will be skipped",
                                          "! Filler-word removal needs the English speech model (pocketsphinx-en-us); it will be skipped"};
    EXPECT_EQ(test::lines(reports[0]), expected);
}

}  // namespace
}  // namespace morvale
