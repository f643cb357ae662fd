// Files a user's folder may hold that are not honest recordings: FIFOs, length-field bombs, headers
// that are slow to walk, recordings cut short. Each is generated here, byte by byte where it matters.

#include "audio_fixtures.h"
#include "av_engine/audio_video_pipeline.h"
#include "av_engine/pcm_stream.h"
#include "base/cancellation.h"
#include "fake_ffmpeg.h"
#include "media_fixtures.h"
#include "support/shell_command.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Request = AudioVideoPipeline::MultiFormatExportRequest;

std::string le32(std::uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}
std::string chunk(const std::string& id, const std::string& body) {
    return id + le32(static_cast<std::uint32_t>(body.size())) + body;
}

// The samples of a 44.1 kHz stereo 16-bit WAV under a header declaring `dataBytes` of them.
std::string rewrapped(const std::string& wav, std::uint32_t dataBytes) {
    const std::string fmt = chunk("fmt ", std::string("\x01\x00\x02\x00", 4) + le32(44100) + le32(176400) +
                                              std::string("\x04\x00\x10\x00", 4));
    return "RIFF" + le32(0) + "WAVE" + fmt + "data" + le32(dataBytes) + wav.substr(wav.find("data") + 8);
}

// The length bombs among the audio fuzz target's seeds (tests/fuzz/make_seeds.sh makes them), less the
// seed's first byte, which picks the extension.
std::string seed(const std::string& name) {
    return test::readFile(fs::path(MORVALE_SOURCE_DIR) / "tests/fuzz/corpus/audio_decoder_fuzz" / name).substr(1);
}

// Whether any live (not zombie) process is in the group.
bool groupAlive(int pgid) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = test::readFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        char state = 0;
        int parent = 0, group = 0;
        if (close != std::string::npos && std::sscanf(stat.c_str() + close + 2, "%c %d %d", &state, &parent, &group) == 3 &&
            group == pgid && state != 'Z') {
            return true;
        }
    }
    return false;
}

long peakKB() {
    const std::string status = test::readFile("/proc/self/status");
    return std::stol(status.substr(status.find("VmHWM:") + 6));
}

struct Decoded {
    long growthKB = 0;
    std::string outcome;  // "decoded" or the error's what()
};

// Decodes in a child process, whose peak resident memory is reset first: the growth is what this one
// decode took, whatever the test process did before.
Decoded decodeInChild(const fs::path& file) {
    std::array<int, 2> ends{};
    if (::pipe(ends.data()) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[0]);
        { std::ofstream("/proc/self/clear_refs") << "5"; }
        const long before = peakKB();
        std::string outcome = "decoded";
        try {
            PCMStream::read(file, std::nullopt, std::nullopt, std::nullopt, [](std::span<const float>, std::int64_t) {});
        } catch (const std::exception& e) {
            outcome = e.what();
        }
        const std::string report = std::to_string(peakKB() - before) + "\n" + outcome;
        if (::write(ends[1], report.data(), report.size()) < 0) ::_exit(2);
        ::_exit(0);
    }
    ::close(ends[1]);
    std::string report;
    std::array<char, 4096> buffer{};
    for (ssize_t n; (n = ::read(ends[0], buffer.data(), buffer.size())) > 0;) {
        report.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(ends[0]);
    ::waitpid(pid, nullptr, 0);
    const std::size_t newline = report.find('\n');
    if (newline == std::string::npos) return {-1, "child died"};
    return {std::stol(report.substr(0, newline)), report.substr(newline + 1)};
}

class HostileAudio : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media_ = std::make_unique<test::TempDir>();
        test::makeTone(*media_ / "tone.wav", 3.0);
        test::makeMP3(*media_ / "tone.wav", *media_ / "tone.mp3");
    }
    static void TearDownTestSuite() { media_.reset(); }
    static fs::path media(const char* name) { return *media_ / name; }

    fs::path tmp() const { return dir / "tmp"; }
    fs::path out() const { return dir / "out"; }
    std::vector<std::string> leftIn(const fs::path& folder) const {
        std::vector<std::string> names;
        if (fs::exists(folder)) {
            for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
        }
        return names;
    }
    // Export scratch folders still in TMPDIR (fake FFmpeg folders live there too).
    std::vector<std::string> scratchLeft() const {
        std::vector<std::string> names = leftIn(tmp());
        std::erase_if(names, [](const std::string& name) { return !name.starts_with("Skeldon-"); });
        return names;
    }
    Request request(const fs::path& source) const {
        ID3TagInjector::PodcastMetadata tags;
        tags.title = "Episode";
        return Request(source, out(), "ep", tags, true, true, false, false, LoudnessNormalizer::LoudnessTarget{});
    }
    // A 1 TiB sparse WAV of empty chunks before any sample data: walking its header takes hours, longer
    // than any test may run, so a stop that the walk does not act on hangs the test.
    fs::path slowHeader() const {
        const fs::path file = dir / "slow.wav";
        {
            std::ofstream(file, std::ios::binary) << "RIFF" + le32(0xFFFFFFF0u) + "WAVE" + seed("mono.wav").substr(12, 24);
        }
        fs::resize_file(file, std::uintmax_t{1} << 40);
        return file;
    }

    test::TempDir dir;

private:
    static std::unique_ptr<test::TempDir> media_;
    test::ScopedTmpdir scopedTmp_{tmp()};
};
std::unique_ptr<test::TempDir> HostileAudio::media_;

TEST_F(HostileAudio, LengthBombsAreRefusedWithLittleMemory) {
    const struct {
        const char* name;
        std::string bytes;
        const char* reason;  // in the refusal; nullptr: the file decodes
    } cases[] = {
        {"riff_list_bomb.wav", seed("riff_list_bomb.wav"), "damaged header (the 'LIST' chunk claims 2684354560 bytes"},
        {"rf64_list_bomb.wav", seed("rf64_list_bomb.wav"), "damaged header (the 'LIST' chunk claims"},
        {"rf64_table_bomb.wav", seed("rf64_table_bomb.wav"), "damaged header (the 'ds64' chunk's table claims"},
        {"id3_size_bomb.mp3", seed("id3_size_bomb.mp3"), "damaged ID3 tag (it claims 268435440 bytes"},
        {"stsz_count_bomb.m4a", seed("stsz_count_bomb.m4a"), "the 'stsz' box's table claims"},
        {"moov_size_bomb.m4a", seed("moov_size_bomb.m4a"), "the 'moov' box claims 2147483632"},
        {"flac_block.flac",
         std::string("fLaC\x00\x00\x00\x22", 8) + std::string(34, '\0') + "\x84\xff\xff\xf0" + std::string(2000, 'x'),
         "damaged header (a FLAC metadata block claims 16777200 bytes"},
        {"honest.m4a", seed("tone.m4a"), nullptr},
        {"honest.wav", test::readFile(media("tone.wav")), nullptr},
        {"streamed.wav", rewrapped(test::readFile(media("tone.wav")), 0), nullptr},  // no length: runs to the end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded decoded = decodeInChild(dir.write(c.name, c.bytes));
        std::printf("%-20s %8ld KB peak growth: %s\n", c.name, decoded.growthKB, decoded.outcome.c_str());
        EXPECT_GE(decoded.growthKB, 0);
        EXPECT_LT(decoded.growthKB, 64 * 1024);
        if (c.reason == nullptr) {
            EXPECT_EQ(decoded.outcome, "decoded");
            EXPECT_GT(decoded.growthKB, 0);  // the measurement sees a real decode
        } else {
            EXPECT_TRUE(decoded.outcome.starts_with(std::string("Could not read audio from ") + c.name + ": "));
            EXPECT_NE(decoded.outcome.find(c.reason), std::string::npos);
        }
    }
}

TEST_F(HostileAudio, FifoIsRefusedAtOnceAsItemIntroAndOutro) {
    const fs::path fifo = dir / "pipe.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string refusal = "Could not read audio from pipe.wav: not a regular file";
    const AudioVideoPipeline pipeline(AudioVideoPipeline::Options{{}, {}, 1, {}, {}});
    const std::function<void(Request&)> roles[] = {
        [&](Request& r) { r.sourceURL = fifo; },
        [&](Request& r) { r.introURL = fifo; },
        [&](Request& r) { r.outroURL = fifo; },
    };
    for (std::size_t i = 0; i < std::size(roles); ++i) {
        SCOPED_TRACE(i);
        Request r = request(media("tone.wav"));
        roles[i](r);
        try {  // a FIFO opened for reading would wait for a writer for ever
            pipeline.processMultiFormat(r);
            ADD_FAILURE() << "a FIFO was read";
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), refusal);
        }
        EXPECT_TRUE(scratchLeft().empty());
        EXPECT_TRUE(leftIn(out()).empty());
    }
}

TEST_F(HostileAudio, StopDuringEachOpenEndsIt) {
    const fs::path slow = slowHeader();
    const AudioVideoPipeline pipeline(AudioVideoPipeline::Options{{}, {}, 1, {}, {}});
    const std::function<void(std::stop_token)> opens[] = {
        [&](std::stop_token stop) { PCMStream::format(slow, {}, stop); },
        [&](std::stop_token stop) {
            PCMStream::read(
                slow, std::nullopt, std::nullopt, std::nullopt, [](std::span<const float>, std::int64_t) {}, {}, stop);
        },
        [&](std::stop_token stop) { pipeline.normalizer().measure(slow, {}, stop); },
        [&](std::stop_token stop) { pipeline.processMultiFormat(request(slow), {}, {}, stop); },
        [&](std::stop_token stop) {
            Request r = request(media("tone.wav"));
            r.outroURL = slow;
            pipeline.processMultiFormat(r, {}, {}, stop);
        },
    };
    for (std::size_t i = 0; i < std::size(opens); ++i) {
        SCOPED_TRACE(i);
        std::stop_source stop;
        std::jthread stopper([&] {
            std::this_thread::sleep_for(300ms);
            stop.request_stop();
        });
        EXPECT_THROW(opens[i](stop.get_token()), OperationCancelled);
        EXPECT_TRUE(scratchLeft().empty());
        EXPECT_TRUE(leftIn(out()).empty());
    }
}

TEST_F(HostileAudio, RecordingShorterThanItsHeaderSaysSoOnce) {
    const std::string tone = test::readFile(media("tone.wav"));
    const std::string mp3 = test::readFile(media("tone.mp3"));
    // An edit list that starts with an empty edit: the container counts 1.5 s that no decoder gives.
    const fs::path m4a = dir / "tone.m4a", edited = dir / "edited.m4a";
    ASSERT_TRUE(test::run("ffmpeg -v error -i " + test::quoted(media("tone.wav")) + " -c:a aac -movflags +faststart " +
                          test::quoted(m4a) + " && ffmpeg -v error -itsoffset 1.5 -i " + test::quoted(m4a) +
                          " -c copy " + test::quoted(edited)));
    const std::string aac = test::readFile(m4a);
    const struct {
        const char* name;
        std::string bytes;
        const char* line;
    } cases[] = {
        {"claims_thrice.wav", rewrapped(tone, 3 * 529200),
         "Warning: claims_thrice.wav decoded to 3.0 s of its declared 9.0 s; going on with what was read."},
        {"cut.mp3", mp3.substr(0, mp3.size() * 2 / 5), "Warning: cut.mp3 decoded to 1."},
        {"whole.mp3", mp3, nullptr},
        {"editlist.m4a", test::readFile(edited), nullptr},
        {"cut.m4a", aac.substr(0, aac.size() / 2), "Warning: cut.m4a decoded to 1."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Request r = request(dir.write(c.name, c.bytes));
        std::vector<std::string> warnings;
        AudioVideoPipeline(AudioVideoPipeline::Options{{}, {}, 1, {}, {}}).processMultiFormat(r, {}, [&](const std::string& line) {
            // A cut file may also be damaged where it ends; that is another line.
            if (line.find(" s of its declared ") != std::string::npos) warnings.push_back(line);
        });
        if (c.line == nullptr) {
            EXPECT_EQ(warnings, std::vector<std::string>{});
        } else {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_TRUE(warnings[0].starts_with(c.line)) << warnings[0];
        }
    }
}

TEST_F(HostileAudio, StopDuringTheMP3EncodeEndsFFmpegAndLeavesNoHalfSet) {
    const test::FakeFFmpeg fake("sleep 1000");
    AudioVideoPipeline::Options options{{fake.path()}, {}, 1, {}, {}};
    const AudioVideoPipeline pipeline(options);
    const fs::path pidFile = fake.path().parent_path().parent_path() / "pid.txt";
    std::stop_source stop;
    std::jthread stopper([&] {  // once the encoder has written its whole pid
        while (!test::readFile(pidFile).ends_with('\n')) std::this_thread::sleep_for(10ms);
        stop.request_stop();
    });
    EXPECT_THROW(pipeline.processMultiFormat(request(media("tone.wav")), {}, {}, stop.get_token()), OperationCancelled);
    // The encoder's whole group goes: its shell is reaped by then, but the killed sleep only when
    // the kernel gets to it.
    EXPECT_TRUE(test::waitUntil([&] { return !groupAlive(fake.pid()); }));
    EXPECT_TRUE(leftIn(out()).empty());  // the master went with it
    EXPECT_TRUE(scratchLeft().empty());
}

TEST_F(HostileAudio, RelativeOutputFolderStartingWithADashReachesFFmpegAsAPath) {
    const test::FakeFFmpeg recording("exec /usr/bin/ffmpeg \"$@\"");
    const AudioVideoPipeline pipeline(AudioVideoPipeline::Options{{recording.path()}, {}, 1, {}, {}});
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    Request r = request(media("tone.wav"));
    r.destinationDirectory = "-out";
    std::vector<fs::path> written;
    try {
        written = pipeline.processMultiFormat(r);
    } catch (...) {
        fs::current_path(before);
        throw;
    }
    fs::current_path(before);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(test::probe(dir / "-out/ep_RSS_192k.mp3", "stream=codec_name"), "mp3");
    // The last call was the tagging step: every file it names is absolute.
    for (const std::string& argument : recording.arguments()) {
        if (argument.ends_with(".mp3") || argument.ends_with(".wav")) {
            EXPECT_TRUE(argument.starts_with("/")) << argument;
        }
    }
}

}  // namespace
}  // namespace morvale
