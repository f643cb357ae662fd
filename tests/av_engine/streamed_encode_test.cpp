#include "av_engine/streamed_encode.h"

#include "av_engine/wav_writer.h"
#include "base/cancellation.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr double kRate = 44100;
constexpr std::int64_t kFrames = 3 * 44100;

// Three seconds of a stereo tone, louder than full scale at its peaks so the clamping is fed too.
std::vector<float> tone(double hz, float amplitude) {
    std::vector<float> samples(static_cast<std::size_t>(kFrames) * 2);
    for (std::int64_t i = 0; i < kFrames; ++i) {
        const auto v = amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / kRate));
        samples[static_cast<std::size_t>(2 * i)] = v;
        samples[static_cast<std::size_t>(2 * i + 1)] = -v;
    }
    return samples;
}

void render(StreamedEncode& stream, const std::vector<float>& samples) {
    stream.started(kRate, 2);
    for (std::int64_t at = 0; at < kFrames; at += 4410) {
        stream.rendered(samples.data() + 2 * at, std::min<std::int64_t>(4410, kFrames - at));
    }
}

std::vector<std::string> mp3(const fs::path& out) { return {"-codec:a", "libmp3lame", "-b:a", "192k", out.string()}; }

// A render that starts over (the normaliser's gain correction) restarts the encode, and what comes out is
// byte for byte the MP3 of the finished WAV.
TEST(StreamedEncode, RestartedRenderEncodesExactlyWhatTheFileHolds) {
    const test::TempDir dir;
    const FFmpegRunner ffmpeg;
    ASSERT_TRUE(ffmpeg.isFFmpegAvailable());
    const auto first = tone(440, 0.5f);
    const auto second = tone(660, 1.2f);
    {
        StreamedEncode stream(ffmpeg, dir / "spool", [&](double) { return mp3(dir / "streamed.mp3"); }, 60s, {});
        render(stream, first);
        render(stream, second);
        const auto encode = stream.finish();
        ASSERT_TRUE(encode);
        encode->join({});
    }
    WAVWriter wav(dir / "second.wav", kRate, 2, 24);
    wav.write(second.data(), kFrames);
    wav.close();
    std::vector<std::string> fromFile{"-y", "-i", (dir / "second.wav").string()};
    for (const auto& a : mp3(dir / "from_file.mp3")) fromFile.push_back(a);
    ffmpeg.execute(fromFile, 60s);
    const std::string streamed = test::readFile(dir / "streamed.mp3");
    EXPECT_GT(streamed.size(), 60'000u);
    EXPECT_TRUE(streamed == test::readFile(dir / "from_file.mp3"));
}

// A render that fails or stops half way must not leave the encoder (or its feeder) waiting for the rest.
// The encode's own time limit is longer than any test may run, so a wait for the rest hangs the test.
TEST(StreamedEncode, AbandonedOrStoppedMidRenderEndsAtOnce) {
    const test::TempDir dir;
    const FFmpegRunner ffmpeg;
    const auto samples = tone(440, 0.5f);
    for (const bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst ? "stopped, then joined" : "abandoned");
        std::stop_source stop;
        {
            StreamedEncode stream(ffmpeg, dir / ("spool" + std::to_string(stopFirst)),
                                  [&](double) { return mp3(dir / "half.mp3"); }, 24h, stop.get_token());
            stream.started(kRate, 2);
            stream.rendered(samples.data(), kFrames / 2);
            if (stopFirst) {
                stop.request_stop();
                const auto encode = stream.finish();
                ASSERT_TRUE(encode);
                EXPECT_THROW(encode->join({}), OperationCancelled);
            }
        }
    }
}

}  // namespace
}  // namespace morvale
