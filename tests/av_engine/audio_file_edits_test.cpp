#include "audio_fixtures.h"
#include "support/temp_dir.h"

#include "av_engine/loudness_normalizer.h"
#include "av_engine/wav_writer.h"
#include "base/cancellation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace morvale {
namespace {

using test::Audio;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr float kQuantum = 2.0f / 8388608.0f;  // a little over one 24-bit step

void writeWav(const std::filesystem::path& path, const Audio& audio) {
    WAVWriter writer(path, audio.sampleRate, audio.channels, 24);
    writer.write(audio.samples.data(), audio.frames());
    writer.close();
}

// A rising ramp, so every frame's value tells where it came from.
Audio ramp(double sampleRate, double seconds) {
    Audio a{sampleRate, 1, {}};
    const auto n = static_cast<std::size_t>(sampleRate * seconds);
    for (std::size_t f = 0; f < n; ++f) a.samples.push_back(0.1f + 0.8f * static_cast<float>(f) / static_cast<float>(n));
    return a;
}

Audio constant(double sampleRate, int channels, double seconds, float value) {
    Audio a{sampleRate, channels, {}};
    a.samples.assign(static_cast<std::size_t>(sampleRate * seconds) * static_cast<std::size_t>(channels), value);
    return a;
}

TEST(AudioFileEdits, CutDropsTheRangesWithFadesOnBothSides) {
    test::TempDir dir;
    const Audio source = ramp(44100, 3.0);
    writeWav(dir / "in.wav", source);
    const auto x = [&](std::int64_t f) { return source.samples[static_cast<std::size_t>(f)]; };
    struct Row {
        const char* name;
        std::vector<TimeRange> ranges;
    };
    // Every row removes [1, 2) however it is written.
    const std::vector<Row> rows = {
        {"plain", {{1.0, 2.0}}},
        {"unsorted and overlapping", {{1.5, 2.0}, {1.0, 1.2}, {1.1, 1.6}}},
        {"with empty, inverted and non-finite ranges", {{1.0, 2.0}, {2.5, 2.5}, {2.8, 2.6}, {kNaN, 2.9}, {0.5, kInf}, {-kInf, 0.2}}},
    };
    LoudnessNormalizer normalizer;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        normalizer.cut(dir / "in.wav", dir / "out.wav", row.ranges);
        const Audio out = test::decode(dir / "out.wav");
        ASSERT_EQ(out.frames(), 132300 - 44100);
        EXPECT_NEAR(out.samples[0], x(0), kQuantum);
        EXPECT_NEAR(out.samples[44099], x(44099) / 264.0f, kQuantum);
        EXPECT_NEAR(out.samples[44100], x(88200) / 264.0f, kQuantum);
        EXPECT_NEAR(out.samples[44100 + 263], x(88200 + 263), kQuantum);
        EXPECT_NEAR(out.samples[44099 - 264], x(44099 - 264), kQuantum);
        EXPECT_NEAR(out.samples[60000], x(60000 + 44100), kQuantum);
    }
    normalizer.cut(dir / "in.wav", dir / "copy.wav", {});
    const Audio copy = test::decode(dir / "copy.wav");
    ASSERT_EQ(copy.frames(), source.frames());
    for (std::int64_t f = 0; f < copy.frames(); f += 997) EXPECT_NEAR(copy.samples[static_cast<std::size_t>(f)], x(f), kQuantum);
}

TEST(AudioFileEdits, ConcatenateFadesEachPieceOverWhatWasDecoded) {
    test::TempDir dir;
    writeWav(dir / "a.wav", constant(48000, 2, 1.0, 0.5f));
    writeWav(dir / "b.wav", constant(48000, 1, 0.5, 0.5f));
    // A header that declares two seconds over one second of data, as a cut-off download has.
    writeWav(dir / "short.wav", constant(48000, 1, 2.0, 0.5f));
    std::filesystem::resize_file(dir / "short.wav", 44 + 48000 * 3);
    writeWav(dir / "slow.wav", constant(50, 1, 1.0, 0.5f));

    struct Row {
        const char* name;
        std::vector<std::string> pieces;
        double rate;
        std::vector<std::int64_t> lengths;  // frames of each piece at `rate`
    };
    const std::vector<Row> rows = {
        {"two pieces", {"a.wav", "b.wav"}, 48000, {48000, 24000}},
        {"a declared length beyond the data", {"short.wav", "a.wav"}, 48000, {48000, 48000}},
        {"a rate whose 15 ms is no whole frame", {"slow.wav", "slow.wav"}, 50, {50, 50}},
    };
    LoudnessNormalizer normalizer;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::filesystem::path> sources;
        for (const auto& p : row.pieces) sources.push_back(dir / p);
        normalizer.concatenate(sources, dir / "joined.wav", row.rate, 1);
        const Audio out = test::decode(dir / "joined.wav");
        const auto fade = std::max<std::int64_t>(1, static_cast<std::int64_t>(row.rate * 0.015));
        std::int64_t at = 0;
        ASSERT_EQ(out.frames(), row.lengths[0] + row.lengths[1]);
        for (std::int64_t length : row.lengths) {
            const auto s = [&](std::int64_t f) { return out.samples[static_cast<std::size_t>(at + f)]; };
            EXPECT_EQ(s(0), 0.0f);
            EXPECT_NEAR(s(length - 1), 0.5f / static_cast<float>(fade), kQuantum);
            EXPECT_NEAR(s(length / 2), 0.5f, kQuantum);
            if (fade > 1) {
                EXPECT_NEAR(s(length - fade / 2), 0.5f * static_cast<float>(fade / 2) / static_cast<float>(fade), kQuantum);
            }
            at += length;
        }
    }
    normalizer.concatenate({}, dir / "empty.wav", 44100, 2);
    EXPECT_EQ(test::decode(dir / "empty.wav").frames(), 0);
}

TEST(AudioFileEdits, ExcerptFadesOverTheFramesWritten) {
    test::TempDir dir;
    writeWav(dir / "in.wav", constant(8000, 1, 2.0, 0.5f));
    struct Row {
        double start;
        double length;
        std::int64_t frames;
    };
    const std::vector<Row> rows = {
        {0.5, 1.0, 8000}, {1.5, 1.0, 4000}, {3.0, 1.0, 0}, {-1.0, 2.0, 0}, {kNaN, 1.0, 0},
        {0.5, kNaN, 0},   {kInf, 1.0, 0},   {0.5, -kInf, 0}, {0.5, 0.0, 0},
    };
    LoudnessNormalizer normalizer;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.start << " + " << row.length);
        normalizer.excerpt(dir / "in.wav", dir / "clip.wav", row.start, row.length);
        const Audio out = test::decode(dir / "clip.wav");
        ASSERT_EQ(out.frames(), row.frames);
        if (row.frames == 0) continue;
        EXPECT_NEAR(out.samples.front(), 0.5f / 160.0f, kQuantum);
        EXPECT_NEAR(out.samples.back(), 0.5f / 160.0f, kQuantum);
        EXPECT_NEAR(out.samples[static_cast<std::size_t>(row.frames / 2)], 0.5f, kQuantum);
    }
}

TEST(AudioFileEdits, LevelsAndSpeechFrames) {
    test::TempDir dir;
    writeWav(dir / "in.wav", constant(16000, 1, 2.2, 0.5f));
    LoudnessNormalizer normalizer;
    struct Row {
        double step;
        std::size_t count;
    };
    for (const Row& row : std::vector<Row>{{0.5, 4}, {1.0 / 9000.0, 0}, {kNaN, 0}, {-0.5, 0}, {kInf, 0}, {1e300, 0}}) {
        SCOPED_TRACE(row.step);
        const std::vector<float> levels = normalizer.levels(dir / "in.wav", row.step);
        ASSERT_EQ(levels.size(), row.count);
        for (std::size_t i = 1; i < levels.size(); ++i) EXPECT_NEAR(levels[i], 0.5f, 1e-3f);
    }
    writeWav(dir / "second.wav", test::sine(44100, 2, 1000, 0.5, 1.0));
    const auto frames = normalizer.speechFrames(dir / "second.wav");
    ASSERT_EQ(frames.size(), 50u);
    // A 1 kHz sine at half scale: mean square 0.125 (-9 dB); sample steps at 16 kHz carry 4 sin²(π/16) of it.
    EXPECT_NEAR(frames[25].levelDB, -9.03f, 0.05f);
    EXPECT_NEAR(frames[25].brightnessDB, 10.0f * std::log10(4.0f * std::pow(std::sin(3.14159265f / 16.0f), 2.0f)), 0.1f);
}

TEST(AudioFileEdits, AStoppedTokenLeavesNoFile) {
    test::TempDir dir;
    writeWav(dir / "in.wav", constant(8000, 1, 1.0, 0.5f));
    LoudnessNormalizer normalizer;
    std::stop_source stop;
    stop.request_stop();
    const auto out = dir / "out.wav";
    EXPECT_THROW(normalizer.cut(dir / "in.wav", out, {{0.1, 0.2}}, {}, stop.get_token()), OperationCancelled);
    EXPECT_THROW(normalizer.concatenate({dir / "in.wav"}, out, 8000, 1, {}, stop.get_token()), OperationCancelled);
    EXPECT_THROW(normalizer.excerpt(dir / "in.wav", out, 0.1, 0.5, {}, stop.get_token()), OperationCancelled);
    EXPECT_THROW(normalizer.levels(dir / "in.wav", 0.5, {}, stop.get_token()), OperationCancelled);
    EXPECT_THROW(normalizer.speechFrames(dir / "in.wav", {}, stop.get_token()), OperationCancelled);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
}  // namespace morvale
