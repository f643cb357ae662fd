#include "audio_fixtures.h"
#include "media_fixtures.h"
#include "support/temp_dir.h"

#include "av_engine/pcm_stream.h"
#include "av_engine/wav_writer.h"
#include "base/c_format.h"
#include "base/cancellation.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <random>

namespace morvale {
namespace {

using test::quoted;
using test::run;

struct Decoded {
    PCMStream::Format format;
    std::vector<float> samples;
    std::int64_t frames = 0;
    std::vector<std::string> log;
};

Decoded readAll(const std::filesystem::path& file, std::optional<double> rate = std::nullopt,
                std::optional<int> channels = std::nullopt, std::optional<double> maxDuration = std::nullopt) {
    Decoded d;
    d.format = PCMStream::read(
        file, rate, channels, maxDuration,
        [&](std::span<const float> samples, std::int64_t frames) {
            EXPECT_GT(frames, 0);
            EXPECT_EQ(samples.size() % static_cast<std::size_t>(frames), 0u);
            d.samples.insert(d.samples.end(), samples.begin(), samples.end());
            d.frames += frames;
        },
        [&](const std::string& line) { d.log.push_back(line); });
    return d;
}

std::string errorOf(const std::filesystem::path& file) {
    try {
        readAll(file);
    } catch (const PCMStream::StreamError& e) {
        return e.what();
    }
    return "no error";
}

// Captures what the process writes to standard error while `body` runs.
template <typename Body>
std::string capturingStderr(Body&& body) {
    char name[] = "/tmp/morvale_stderr_XXXXXX";
    const int capture = mkstemp(name);
    const int saved = dup(2);
    dup2(capture, 2);
    body();
    dup2(saved, 2);
    close(saved);
    lseek(capture, 0, SEEK_SET);
    std::string text(4096, '\0');
    const auto got = ::read(capture, text.data(), text.size());
    close(capture);
    unlink(name);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

TEST(PCMStream, BadInputsGiveClearErrors) {
    test::TempDir dir;
    const auto video = dir / "video only.mp4";
    ASSERT_TRUE(run("ffmpeg -y -f lavfi -i testsrc=duration=1:size=64x64:rate=10 -c:v mpeg4 " + quoted(video)));
    const auto empty = dir.write("empty.wav");
    std::string noise(40000, '\0');
    std::mt19937 random(3);
    for (char& c : noise) c = static_cast<char>(random() & 0xFF);
    const auto bytes = dir.write("random.mp3", noise);

    struct Case {
        std::filesystem::path file;
        std::string expectedPrefix;
    };
    const std::vector<Case> cases = {
        {video, "video only.mp4 has no audio track."},
        {empty, "Could not read audio from empty.wav: "},
        {bytes, "Could not read audio from random.mp3: "},
        {dir / "missing.wav", "Could not read audio from missing.wav: "},
    };
    for (const Case& c : cases) {
        std::string message;
        const std::string stderrText = capturingStderr([&] { message = errorOf(c.file); });
        EXPECT_EQ(message.substr(0, c.expectedPrefix.size()), c.expectedPrefix) << message;
        EXPECT_EQ(stderrText, "") << c.file;
    }
    try {
        PCMStream::format(video);
        ADD_FAILURE() << "format of a video-only file succeeded";
    } catch (const PCMStream::StreamError& e) {
        EXPECT_EQ(e.kind(), PCMStream::StreamError::Kind::noAudioTrack);
    }
}

TEST(PCMStream, TruncatedFileDecodesWhatIsThereWithAWarning) {
    test::TempDir dir;
    const auto whole = dir / "whole.mp3";
    ASSERT_TRUE(run("ffmpeg -y -f lavfi -i sine=frequency=440:duration=10:sample_rate=44100 -c:a libmp3lame -b:a 128k " + quoted(whole)));
    std::string bytes = test::readFile(whole);
    const auto truncated = dir.write("truncated.mp3", std::string_view(bytes).substr(0, bytes.size() / 2 + 77));
    Decoded d;
    const std::string stderrText = capturingStderr([&] { d = readAll(truncated); });
    EXPECT_EQ(stderrText, "");
    EXPECT_NEAR(d.format.durationSeconds, 10.0, 0.2);
    EXPECT_NEAR(static_cast<double>(d.frames) / 44100.0, 5.0, 0.3);
    bool warned = false;
    for (const auto& line : d.log) warned = warned || line.rfind("Warning: truncated.mp3 decoded to ", 0) == 0;
    EXPECT_TRUE(warned);

    // Garbage in the middle: the decoder's complaints reach the log (a bounded number), not standard error.
    std::string damagedBytes = bytes.substr(0, 30000);
    std::mt19937 random(9);
    for (int i = 0; i < 60000; ++i) damagedBytes.push_back(static_cast<char>(random() & 0xFF));
    damagedBytes += bytes.substr(60000);
    const auto damaged = dir.write("damaged.mp3", damagedBytes);
    Decoded hurt;
    EXPECT_EQ(capturingStderr([&] { hurt = readAll(damaged); }), "");
    EXPECT_GT(hurt.frames, 44100 * 5);
    std::size_t ffmpegLines = 0;
    bool damageReported = false;
    for (const auto& line : hurt.log) {
        ffmpegLines += line.rfind("FFmpeg: ", 0) == 0 ? 1 : 0;
        damageReported = damageReported || line.rfind("Warning: damaged.mp3 has damaged audio (", 0) == 0;
    }
    EXPECT_TRUE(damageReported);
    EXPECT_GT(ffmpegLines, 0u);
    EXPECT_LE(ffmpegLines, 20u);
}

// A float WAV may store NaN and infinities; they arrive as silence, never as non-numbers that would
// poison every measurement after the decoder.
TEST(PCMStream, NonFiniteFloatSamplesArriveAsSilence) {
    test::TempDir dir;
    const float values[] = {0.5f, NAN, INFINITY, -INFINITY, -0.25f, 0.0f, 0.125f, NAN};
    std::string wav = "RIFF";
    const auto u32 = [&wav](std::uint32_t v) { for (int i = 0; i < 4; ++i) wav.push_back(static_cast<char>(v >> (8 * i))); };
    const auto u16 = [&wav](unsigned v) { wav.push_back(static_cast<char>(v)); wav.push_back(static_cast<char>(v >> 8)); };
    u32(36 + sizeof values);
    wav += "WAVEfmt ";
    u32(16);
    u16(3);  // IEEE float
    u16(1);
    u32(8000);
    u32(8000 * 4);
    u16(4);
    u16(32);
    wav += "data";
    u32(sizeof values);
    wav.append(reinterpret_cast<const char*>(values), sizeof values);
    const Decoded d = readAll(dir.write("nan.wav", wav));
    ASSERT_EQ(d.samples.size(), std::size(values));
    for (std::size_t i = 0; i < d.samples.size(); ++i) {
        EXPECT_EQ(d.samples[i], std::isfinite(values[i]) ? values[i] : 0.0f) << i;
    }
}

TEST(PCMStream, ChannelsAndRates) {
    test::TempDir dir;
    const auto surround = dir / "surround.flac";
    ASSERT_TRUE(run("ffmpeg -y -f lavfi -i \"aevalsrc=0.1*sin(2*PI*440*t)|0.1*sin(2*PI*440*t)|0.1*sin(2*PI*440*t)|0|0.1*sin(2*PI*440*t)|0.1*sin(2*PI*440*t):s=48000:d=2:c=5.1\" " + quoted(surround)));
    const auto low = dir / "low.wav";
    ASSERT_TRUE(run("sox -n -r 8000 -c 1 -b 16 " + quoted(low) + " synth 3 sine 300 vol 0.5"));
    const auto high = dir / "high.wav";
    ASSERT_TRUE(run("sox -n -r 192000 -c 2 -b 24 " + quoted(high) + " synth 2 sine 1000 vol 0.5"));

    struct Case {
        std::filesystem::path file;
        std::optional<double> rate;
        std::optional<int> channels;
        double expectedRate;
        int expectedChannels;
        double seconds;
    };
    const std::vector<Case> cases = {
        {surround, {}, {}, 48000, 2, 2.0},
        {surround, 16000.0, 1, 16000, 1, 2.0},
        {low, {}, {}, 8000, 1, 3.0},
        {low, 44100.0, 2, 44100, 2, 3.0},
        {high, {}, {}, 192000, 2, 2.0},
        {high, 16000.0, 1, 16000, 1, 2.0},
    };
    for (const Case& c : cases) {
        const PCMStream::Format source = PCMStream::format(c.file);
        EXPECT_LE(source.channels, 2);
        const Decoded d = readAll(c.file, c.rate, c.channels);
        EXPECT_DOUBLE_EQ(d.format.sampleRate, c.expectedRate) << c.file;
        EXPECT_EQ(d.format.channels, c.expectedChannels) << c.file;
        EXPECT_NEAR(static_cast<double>(d.frames), c.seconds * c.expectedRate, c.expectedRate * 0.01) << c.file;
        EXPECT_TRUE(d.log.empty()) << c.file << ": " << (d.log.empty() ? "" : d.log.front());
        // Level is kept by channel mapping: a 0.5 peak sine stays a 0.5 peak sine (surround: summed channels).
        float peak = 0.0f;
        for (float s : d.samples) peak = std::max(peak, std::fabs(s));
        if (c.file != surround) {
            EXPECT_NEAR(peak, 0.5f, 0.02f) << c.file;
        }
    }
}

TEST(PCMStream, StereoToMonoAveragesAndMonoToStereoCopies) {
    test::TempDir dir;
    const auto stereo = dir / "stereo.wav";
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 24 " + quoted(stereo) + " synth 1 sine 500 sine 500 remix 1v0.6 2v0.2"));
    const Decoded mono = readAll(stereo, std::nullopt, 1);
    const Decoded both = readAll(stereo);
    ASSERT_EQ(mono.frames, both.frames);
    for (std::size_t f = 0; f < static_cast<std::size_t>(mono.frames); f += 97) {
        EXPECT_NEAR(mono.samples[f], 0.5f * (both.samples[2 * f] + both.samples[2 * f + 1]), 1e-6f);
    }
    const auto monoFile = dir / "mono.wav";
    ASSERT_TRUE(run("sox -n -r 48000 -c 1 -b 24 " + quoted(monoFile) + " synth 1 sine 500 vol 0.4"));
    const Decoded source = readAll(monoFile);
    const Decoded wide = readAll(monoFile, std::nullopt, 2);
    ASSERT_EQ(source.format.channels, 1);
    ASSERT_EQ(wide.frames, source.frames);
    for (std::size_t f = 0; f < static_cast<std::size_t>(wide.frames); f += 89) {
        EXPECT_EQ(wide.samples[2 * f], source.samples[f]);
        EXPECT_EQ(wide.samples[2 * f + 1], source.samples[f]);
    }
}

TEST(PCMStream, MaxDurationStopsEarlyButReportsTheFullLength) {
    test::TempDir dir;
    const auto file = dir / "tone.wav";
    ASSERT_TRUE(run("sox -n -r 44100 -c 1 -b 16 " + quoted(file) + " synth 4 sine 440"));
    const Decoded shortRead = readAll(file, std::nullopt, std::nullopt, 1.5);
    EXPECT_EQ(shortRead.frames, 66150);
    EXPECT_NEAR(shortRead.format.durationSeconds, 4.0, 1e-3);
    EXPECT_TRUE(shortRead.log.empty());
    EXPECT_EQ(readAll(file, std::nullopt, std::nullopt, 10.0).frames, 4 * 44100);
    EXPECT_EQ(readAll(file, std::nullopt, std::nullopt, 0.0).frames, 0);
}

TEST(PCMStream, ChunkCallbackErrorsPassThrough) {
    test::TempDir dir;
    const auto file = dir / "tone.wav";
    ASSERT_TRUE(run("sox -n -r 44100 -c 1 -b 16 " + quoted(file) + " synth 2 sine 440"));
    struct Stop : std::exception {};
    int calls = 0;
    EXPECT_THROW(PCMStream::read(file, std::nullopt, std::nullopt, std::nullopt,
                                 [&](std::span<const float>, std::int64_t) {
                                     ++calls;
                                     throw Stop{};
                                 }),
                 Stop);
    EXPECT_EQ(calls, 1);
}

std::uint32_t u32(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

TEST(WAVWriter, WritesClampedIntegerPcmThatFfmpegReads) {
    test::TempDir dir;
    const std::vector<float> samples = {0.0f, 0.5f, -0.5f, 1.0f, 1.5f, -1.0f, -2.0f, std::nanf(""), 1e-9f, -1e-9f};
    struct Case {
        int bits;
        std::vector<std::int32_t> expected;
    };
    const std::vector<Case> cases = {
        {24, {0, 4194304, -4194304, 8388607, 8388607, -8388608, -8388608, 0, 0, 0}},
        {16, {0, 16384, -16384, 32767, 32767, -32768, -32768, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const auto path = dir / ("out" + std::to_string(c.bits) + ".wav");
        WAVWriter writer(path, 22050.0, 2, c.bits);
        writer.write(samples.data(), 5);
        writer.write(samples.data(), 0);
        writer.close();
        const std::string bytes = test::readFile(path);
        const std::size_t width = static_cast<std::size_t>(c.bits / 8);
        ASSERT_EQ(bytes.size(), 44 + samples.size() * width);
        EXPECT_EQ(bytes.substr(0, 4), "RIFF");
        EXPECT_EQ(u32(bytes, 4), bytes.size() - 8);
        EXPECT_EQ(bytes.substr(36, 4), "data");
        EXPECT_EQ(u32(bytes, 40), samples.size() * width);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            std::int32_t v = 0;
            for (std::size_t b = 0; b < width; ++b) v |= static_cast<std::int32_t>(static_cast<unsigned char>(bytes[44 + i * width + b])) << (8 * b);
            if (v & (1 << (c.bits - 1))) v -= 1 << c.bits;
            EXPECT_EQ(v, c.expected[i]) << c.bits << " bit, sample " << i;
        }
        // An independent reader agrees on the layout.
        const auto decoded = test::decode(path);
        EXPECT_EQ(decoded.channels, 2);
        EXPECT_EQ(decoded.sampleRate, 22050.0);
        ASSERT_EQ(decoded.samples.size(), samples.size());
        EXPECT_NEAR(decoded.samples[1], 0.5f, 1e-4f);
    }
}

TEST(WAVWriter, ReplacesTheDestinationOnlyWhenClosed) {
    test::TempDir dir;
    const auto path = dir.write("take.wav", "earlier take");
    const std::vector<float> tone(2000, 0.25f);
    {
        WAVWriter abandoned(path, 48000.0, 1, 24);
        abandoned.write(tone.data(), 2000);
    }
    EXPECT_EQ(test::readFile(path), "earlier take");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u) << "temporary file left behind";

    WAVWriter writer(path, 48000.0, 1, 24);
    EXPECT_EQ(test::readFile(path), "earlier take");
    writer.write(tone.data(), 2000);
    writer.close();
    EXPECT_EQ(test::readFile(path).size(), 44u + 2000u * 3u);

    WAVWriter emptyWriter(dir / "empty.wav", 16000.0, 1, 16);
    emptyWriter.close();
    EXPECT_EQ(test::decode(dir / "empty.wav").samples.size(), 0u);

    EXPECT_THROW(WAVWriter(dir / "no such folder" / "x.wav", 48000.0, 1, 24), WAVWriter::WriteError);
    EXPECT_THROW(WAVWriter(dir / "bad.wav", 48000.0, 1, 12), WAVWriter::WriteError);
}

// Readers that take the format from fixed offsets (pocketsphinx's) need the canonical 44-byte layout;
// only a file whose sizes outgrow 32 bits may be RF64. Each file is checked byte by byte and read back
// by Python's wave module, sox and FFmpeg.
TEST(WAVWriter, CanonicalHeaderUnlessTheSizesNeedRF64) {
    test::TempDir dir;
    struct Case {
        const char* name;
        double rate;
        int channels;
        int bits;
        std::int64_t frames;
        std::uint64_t riffLimit;
        bool rf64;
    };
    const Case cases[] = {
        {"16 kHz mono 16 bit", 16000, 1, 16, 48000, WAVWriter::largestRiffSize, false},
        {"48 kHz stereo 24 bit", 48000, 2, 24, 9601, WAVWriter::largestRiffSize, false},
        {"odd data length gets a pad byte", 44100, 1, 24, 4411, WAVWriter::largestRiffSize, false},
        // 36 + 2 x 4000 bytes is 8036: one byte more than the limit.
        {"just past the limit", 16000, 1, 16, 4000, 8035, true},
        {"just inside the limit", 16000, 1, 16, 4000, 8036, false},
        // Spans several move blocks of the writer.
        {"stereo 24 bit past the limit", 48000, 2, 24, 1'500'000, 1'000'000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "take.wav";
        test::Audio tone{c.rate, c.channels, {}};
        for (std::int64_t i = 0; i < c.frames * c.channels; ++i) {
            tone.samples.push_back(static_cast<float>(0.5 * std::sin(0.0625 * static_cast<double>(i))));
        }
        WAVWriter writer(path, c.rate, c.channels, c.bits, c.riffLimit);
        // Uneven runs, so data crosses the writer's flushes.
        for (std::int64_t at = 0; at < c.frames;) {
            const std::int64_t n = std::min<std::int64_t>(c.frames - at, 777 + at % 5000);
            writer.write(tone.samples.data() + at * c.channels, n);
            at += n;
        }
        writer.close();

        const std::string bytes = test::readFile(path);
        const std::uint64_t data = static_cast<std::uint64_t>(c.frames * c.channels * c.bits / 8);
        const std::size_t header = c.rf64 ? 80 : 44;
        ASSERT_EQ(bytes.size(), header + data + data % 2);
        EXPECT_EQ(bytes.substr(0, 4), c.rf64 ? "RF64" : "RIFF");
        EXPECT_EQ(u32(bytes, 4), c.rf64 ? 0xFFFFFFFFu : bytes.size() - 8);
        EXPECT_EQ(bytes.substr(8, 4), "WAVE");
        std::size_t at = 12;
        if (c.rf64) {
            EXPECT_EQ(bytes.substr(12, 4), "ds64");
            EXPECT_EQ(u32(bytes, 16), 28u);
            const auto u64 = [&](std::size_t i) { return u32(bytes, i) | std::uint64_t{u32(bytes, i + 4)} << 32; };
            EXPECT_EQ(u64(20), bytes.size() - 8);
            EXPECT_EQ(u64(28), data);
            EXPECT_EQ(u64(36), static_cast<std::uint64_t>(c.frames));
            at = 48;
        }
        EXPECT_EQ(bytes.substr(at, 8), std::string("fmt \x10\0\0\0", 8));
        EXPECT_EQ(bytes.substr(at + 24, 4), "data");
        EXPECT_EQ(u32(bytes, at + 28), c.rf64 ? 0xFFFFFFFFu : data);

        std::string sox;
        for (const char* what : {"-c", "-r", "-b", "-s"}) sox += test::capture(std::string("soxi ") + what + " " + quoted(path));
        EXPECT_EQ(sox, cformat("%d\n%.0f\n%d\n%lld\n", c.channels, c.rate, c.bits, static_cast<long long>(c.frames)));
        if (!c.rf64) {
            const auto wave = test::pythonReport(
                "import sys, wave\n"
                "w = wave.open(sys.argv[1])\n"
                "print('format', w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(), sep='\\t')\n",
                path);
            EXPECT_EQ(wave.at("format"), cformat("%d\t%d\t%.0f\t%lld", c.channels, c.bits / 8, c.rate,
                                                 static_cast<long long>(c.frames)));
        }
        const test::Audio back = test::decode(path);
        ASSERT_EQ(back.frames(), c.frames);
        for (std::int64_t f = 0; f < c.frames; f += c.frames / 7 + 1) {
            EXPECT_NEAR(back.samples[static_cast<std::size_t>(f * c.channels)], tone.samples[static_cast<std::size_t>(f * c.channels)], 1e-4) << f;
        }
    }
}

// The RF64 move is the one long step of close(): a stop during it leaves no file.
TEST(WAVWriter, StopDuringTheRF64MoveLeavesNothing) {
    test::TempDir dir;
    const std::vector<float> quiet(20000, 0.1f);
    WAVWriter writer(dir / "long.wav", 16000, 1, 16, 100);
    writer.write(quiet.data(), 20000);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(writer.close(stop.get_token()), OperationCancelled);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace morvale
