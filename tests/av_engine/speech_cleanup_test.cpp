#include "audio_fixtures.h"
#include "support/temp_dir.h"

#include "av_engine/cleanup_options.h"
#include "av_engine/loudness_normalizer.h"
#include "av_engine/speech_cleanup.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace morvale {

void PrintTo(const FrameRange& range, std::ostream* os) { *os << "[" << range.start << ", " << range.end << ")"; }

namespace {

using Hum = CleanupOptions::HumMode;

TEST(CleanupOptions, HumModeTextsRoundTrip) {
    struct Row {
        Hum mode;
        const char* raw;
        const char* display;
    };
    const std::vector<Row> rows = {{Hum::off, "off", "Off"},
                                   {Hum::autoDetect, "auto", "Auto-detect"},
                                   {Hum::hz50, "50", "50 Hz (Europe, Asia)"},
                                   {Hum::hz60, "60", "60 Hz (Americas)"}};
    ASSERT_EQ(CleanupOptions::allCases().size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(CleanupOptions::allCases()[i], rows[i].mode);
        EXPECT_EQ(CleanupOptions::rawValue(rows[i].mode), rows[i].raw);
        EXPECT_EQ(CleanupOptions::displayName(rows[i].mode), rows[i].display);
        EXPECT_EQ(CleanupOptions::fromRaw(rows[i].raw), rows[i].mode);
    }
    for (const char* wrong : {"", "Off", "AUTO", "50 ", "50Hz", "hz60"}) EXPECT_FALSE(CleanupOptions::fromRaw(wrong)) << wrong;
}

TEST(CleanupOptions, NoneIsEverySwitchOff) {
    const CleanupOptions none = CleanupOptions::none();
    EXPECT_EQ(none, CleanupOptions(false, Hum::off, false, false, false, 0.0));
    EXPECT_DOUBLE_EQ(none.roomToneSeconds, 0.3);
    CleanupOptions audiobook = none;
    audiobook.roomToneSeconds = 1.0;
    EXPECT_NE(audiobook, none);
    EXPECT_NE(CleanupOptions(false, Hum::hz50, false, false, false, 0.0), none);
}

std::vector<float> humTone(double fundamental, double seconds, double rate) {
    std::vector<float> out(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        out[i] = static_cast<float>(0.05 * std::sin(2 * std::numbers::pi * fundamental * t) +
                                    0.02 * std::sin(2 * std::numbers::pi * 2 * fundamental * t) +
                                    0.01 * std::sin(2 * std::numbers::pi * 3 * fundamental * t));
    }
    return out;
}

TEST(SpeechCleanup, DetectsMainsHum) {
    EXPECT_EQ(detectHumIn(humTone(60.0, 30.0, 8000.0), 8000.0), 60.0);
    EXPECT_EQ(detectHumIn(humTone(50.0, 12.0, 16000.0), 16000.0), 50.0);
    std::mt19937 random(5);
    std::uniform_real_distribution<float> white(-0.1f, 0.1f);
    std::vector<float> noise(16000 * 10);
    for (float& v : noise) v = white(random);
    EXPECT_FALSE(detectHumIn(noise, 16000.0));
    EXPECT_FALSE(detectHumIn(humTone(50.0, 0.9, 16000.0), 16000.0));
}

TEST(SpeechCleanup, NoiseFloorIsTheQuietestHalfSecond) {
    EXPECT_EQ(noiseFloorOf({}), -100.0);
    EXPECT_EQ(noiseFloorOf({-40.0, -300.0, -50.0}), -100.0);
    std::vector<double> levels(20, -20.0);
    for (std::size_t i = 8; i < 13; ++i) levels[i] = -60.0;
    EXPECT_NEAR(noiseFloorOf(levels), -60.0, 1e-9);
    levels[10] = -30.0;  // one louder block inside the quiet run raises its energy mean
    EXPECT_NEAR(noiseFloorOf(levels), 10.0 * std::log10((4 * 1e-6 + 1e-3) / 5.0), 1e-9);
}

TEST(SpeechCleanup, Percentile) {
    EXPECT_FALSE(CleanupPlan::percentile({}, 0.75));
    EXPECT_EQ(CleanupPlan::percentile({5.0}, 0.75), 5.0);
    EXPECT_EQ(CleanupPlan::percentile({4.0, 1.0, 3.0, 2.0, 5.0}, 0.75), 4.0);
    EXPECT_EQ(CleanupPlan::percentile({4.0, 1.0, 3.0, 2.0}, 0.75), 3.0);  // index trunc(2.25)
    EXPECT_EQ(CleanupPlan::percentile({4.0, 1.0}, 1.0), 4.0);
}

// An analysis with the given block levels at 48 kHz.
AudioAnalysis analysisOf(std::vector<double> levels) {
    AudioAnalysis a;
    a.sampleRate = 48000.0;
    a.channels = 1;
    a.frames = static_cast<std::int64_t>(levels.size()) * 4800;
    a.blockRMSdB = std::move(levels);
    a.weightedEnergy.assign(a.blockRMSdB.size(), 1e-3);
    a.noiseFloorDB = noiseFloorOf(a.blockRMSdB);
    a.integratedLUFS = -30.0;
    return a;
}

TEST(SpeechCleanup, ThresholdsFollowTheRecordingsOwnLevels) {
    CleanupOptions gate;
    gate.noiseGate = true;
    // All blocks at or below -70: speech level falls back to -30.
    const CleanupPlan silent = CleanupPlan::make(analysisOf(std::vector<double>(30, -80.0)), gate);
    ASSERT_TRUE(silent.gateThresholdDB);
    EXPECT_DOUBLE_EQ(*silent.gateThresholdDB, std::min(-50.0, -80.0 + 10.0));

    std::vector<double> levels(40, -20.0);
    for (std::size_t i = 0; i < 10; ++i) levels[i] = -55.0;
    const CleanupPlan speech = CleanupPlan::make(analysisOf(levels), gate);
    EXPECT_DOUBLE_EQ(*speech.gateThresholdDB, std::min(-40.0, -55.0 + 10.0));
    EXPECT_FALSE(CleanupPlan::make(analysisOf(levels), CleanupOptions::none()).gateThresholdDB);

    CleanupOptions hum;
    hum.humRemoval = Hum::hz60;
    EXPECT_EQ(CleanupPlan::make(analysisOf(levels), hum).humFrequency, 60.0);
    hum.humRemoval = Hum::autoDetect;
    AudioAnalysis withHum = analysisOf(levels);
    withHum.humFrequency = 50.0;
    EXPECT_EQ(CleanupPlan::make(withHum, hum).humFrequency, 50.0);
    EXPECT_FALSE(CleanupPlan::make(analysisOf(levels), hum).humFrequency);
}

TEST(SpeechCleanup, SilenceCutsKeepRoomToneAndShortenLongPauses) {
    // 1 s silence, 2 s speech, 3 s pause, 2 s speech, 1 s pause, 1 s speech, 2 s silence.
    std::vector<double> levels;
    auto add = [&](int blocks, double level) { levels.insert(levels.end(), static_cast<std::size_t>(blocks), level); };
    add(10, -80.0);
    add(20, -20.0);
    add(30, -80.0);
    add(20, -20.0);
    add(10, -80.0);
    add(10, -20.0);
    add(20, -80.0);
    const AudioAnalysis analysis = analysisOf(levels);
    const std::int64_t b = 4800;

    CleanupOptions trim;
    trim.trimSilence = true;
    EXPECT_EQ(CleanupPlan::make(analysis, trim).cuts,
              (std::vector<FrameRange>{{0, b * 7}, {b * 103, analysis.frames}}));

    CleanupOptions pauses;
    pauses.maxPauseSeconds = 1.0;
    EXPECT_EQ(CleanupPlan::make(analysis, pauses).cuts, (std::vector<FrameRange>{{b * 35, b * 55}}));

    CleanupOptions both = trim;
    both.maxPauseSeconds = 1.0;
    both.roomToneSeconds = 0.5;
    EXPECT_EQ(CleanupPlan::make(analysis, both).cuts,
              (std::vector<FrameRange>{{0, b * 5}, {b * 35, b * 55}, {b * 105, analysis.frames}}));
    EXPECT_TRUE(CleanupPlan::make(analysis, CleanupOptions::none()).cuts.empty());
}

TEST(SpeechCleanup, LevelerNeedsLoudnessAndTenBlocks) {
    CleanupOptions leveler;
    leveler.leveler = true;
    std::vector<double> levels(40, -20.0);
    AudioAnalysis analysis = analysisOf(levels);
    // First half 6 dB quieter (K-weighted) than the second.
    for (std::size_t i = 0; i < 20; ++i) analysis.weightedEnergy[i] = 2.5e-4;
    analysis.integratedLUFS = 10.0 * std::log10(1e-3) - 0.691 - 1.0;
    const CleanupPlan plan = CleanupPlan::make(analysis, leveler);
    ASSERT_EQ(plan.levelerGains.size(), 40u);
    EXPECT_GT(plan.levelerGains.front(), plan.levelerGains.back() + 3.0);
    for (double g : plan.levelerGains) {
        EXPECT_LE(g, 8.0);
        EXPECT_GE(g, -6.0);
    }

    analysis.integratedLUFS.reset();
    EXPECT_TRUE(CleanupPlan::make(analysis, leveler).levelerGains.empty());
    EXPECT_TRUE(CleanupPlan::make(analysisOf(std::vector<double>(9, -20.0)), leveler).levelerGains.empty());
}

TEST(SpeechCleanup, CutRendererDropsAndFades) {
    // One second removed from a 44.1 kHz file with a 6 ms fade.
    CutRenderer renderer({{44100, 88200}}, 264);
    EXPECT_EQ(renderer.gain(0), 1.0f);
    EXPECT_FLOAT_EQ(*renderer.gain(44100 - 264), 1.0f);
    EXPECT_FLOAT_EQ(*renderer.gain(44099), 1.0f / 264.0f);
    EXPECT_FALSE(renderer.gain(44100));
    EXPECT_FALSE(renderer.gain(88199));
    EXPECT_FLOAT_EQ(*renderer.gain(88200), 1.0f / 264.0f);
    EXPECT_FLOAT_EQ(*renderer.gain(88201), 2.0f / 264.0f);
    EXPECT_EQ(renderer.gain(88200 + 264), 1.0f);
}

TEST(SpeechCleanup, NoiseGateQuietensWhatStaysUnderTheThreshold) {
    NoiseGate gate(-40.0, 48000.0);
    float gain = 1.0f;
    for (int i = 0; i < 48000; ++i) gain = gate.gain(0.001f);
    EXPECT_NEAR(gain, 0.25f, 0.01f);
    for (int i = 0; i < 480; ++i) gain = gate.gain(0.5f);  // 10 ms of speech opens it (3 ms attack)
    EXPECT_GT(gain, 0.9f);
}

TEST(SpeechCleanup, AnalysisMeasuresLevelsAndFindsHum) {
    test::TempDir dir;
    const auto file = dir / "hum.wav";
    ASSERT_TRUE(test::run("sox -n -r 16000 -c 1 -b 24 " + test::quoted(file) +
                          " synth 5 sine 60 sine 120 sine 180 remix 1v0.3,2v0.1,3v0.05"));
    const AudioAnalysis a = LoudnessNormalizer().analyze(file, true);
    EXPECT_EQ(a.humFrequency, 60.0);
    EXPECT_EQ(a.frames, 80000);
    EXPECT_EQ(a.blockRMSdB.size(), 50u);
    EXPECT_EQ(a.weightedEnergy.size(), 50u);
    const double rms = 10.0 * std::log10((0.09 + 0.01 + 0.0025) / 2.0);
    EXPECT_NEAR(a.rmsDB, rms, 0.05);
    EXPECT_NEAR(a.noiseFloorDB, rms, 0.1);
    EXPECT_LE(a.samplePeak, a.truePeak + 1e-9);
    EXPECT_FALSE(LoudnessNormalizer().analyze(file, false).humFrequency);
}

}  // namespace
}  // namespace morvale
