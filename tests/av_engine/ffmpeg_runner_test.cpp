#include "av_engine/ffmpeg_runner.h"
#include "base/cancellation.h"
#include "fake_ffmpeg.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sstream>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morvale {
namespace {

using namespace std::chrono_literals;
using test::FakeFFmpeg;

struct Outcome {
    std::optional<std::string> error;  // what() of the FFmpegError, when one was thrown
    std::vector<std::string> logs;
};

Outcome run(const FFmpegRunner& runner, std::chrono::milliseconds limit = 30s, std::stop_token stop = {}) {
    Outcome outcome;
    try {
        runner.execute({"-i", "in put.wav", "out.mp3"}, limit, [&](const std::string& text) { outcome.logs.push_back(text); },
                       stop);
    } catch (const FFmpegRunner::FFmpegError& e) {
        outcome.error = e.what();
    }
    return outcome;
}

// No process of the group still runs. The runner reaps its child, but the grandchildren that the
// group's SIGKILL reached die, and are reaped by init, only when the kernel gets to them.
bool groupGone(int pgid) {
    const auto running = [pgid] {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string stat = test::readFile(entry.path() / "stat");
            const auto close = stat.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream fields(stat.substr(close + 2));
            char state = 0;
            int parent = 0;
            int group = 0;
            fields >> state >> parent >> group;
            if (group == pgid && state != 'Z') return true;
        }
        return false;
    };
    return test::waitUntil([&] { return !running(); });
}

TEST(FFmpegRunner, ExitStatusAndOutputBecomeTheError) {
    const struct {
        const char* body;
        std::optional<std::string> error;
        std::vector<std::string> logs;
    } cases[] = {
        {"printf 'l1\\nl2\\nl3\\nl4\\nl5\\n'; exit 1", "FFmpeg failed (exit 1): l3 | l4 | l5", {"l1\nl2\nl3\nl4\nl5\n"}},
        {"exit 1", "FFmpeg failed (exit 1)", {}},
        {"printf 'a\\n\\n\\r\\nb\\n' >&2; exit 2", "FFmpeg failed (exit 2): a | b", {"a\n\n\r\nb\n"}},
        {"printf 'bad \\377 byte\\n'; exit 1", "FFmpeg failed (exit 1): bad \xEF\xBF\xBD byte", {"bad \xEF\xBF\xBD byte\n"}},
        {"kill -9 $$", "FFmpeg failed (exit 137)", {}},
        {"echo fine", std::nullopt, {"fine\n"}},
        {"true", std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const FakeFFmpeg fake(c.body);
        const Outcome outcome = run(fake.runner());
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.logs, c.logs);
    }
}

TEST(FFmpegRunner, PassesLeadingArgumentsAndNoOtherDescriptors) {
    const FakeFFmpeg fake("true");
    // A descriptor of ours without close-on-exec must still not reach the child.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    run(fake.runner());
    ::close(leaked);
    EXPECT_EQ(fake.arguments(),
              (std::vector<std::string>{"-hide_banner", "-nostdin", "-loglevel", "error", "-i", "in put.wav", "out.mp3"}));
    EXPECT_EQ(fake.inheritedDescriptors(), (std::set<int>{0, 1, 2}));
}

TEST(FFmpegRunner, FloodOfOutputKeepsOnlyItsEnd) {
    const FakeFFmpeg fake("yes 0123456789 | head -c 99999999; echo END; exit 3");
    const Outcome outcome = run(fake.runner());
    ASSERT_EQ(outcome.logs.size(), 1u);
    EXPECT_EQ(outcome.logs[0].size(), FFmpegRunner::maxOutputBytes);
    EXPECT_TRUE(outcome.logs[0].ends_with("0123456789\nEND\n"));
    EXPECT_EQ(outcome.error, "FFmpeg failed (exit 3): 0123456789 | 0123456789 | END");
}

// From its first line the child ignores SIGTERM, so only the SIGKILL a grace after the limit ends it. On
// a busy machine the limit may come before that line: SIGTERM ends it then, and there is nothing to read.
TEST(FFmpegRunner, HungChildIsKilledAtTheLimitAndReaped) {
    const FakeFFmpeg fake("trap '' TERM; echo waiting; sleep 1000");
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = run(fake.runner(), 300ms);
    const auto took = std::chrono::steady_clock::now() - started;
    if (outcome.logs.empty()) {
        EXPECT_TRUE(outcome.error == "FFmpeg failed (exit 137): timed out after 0.3 s" ||
                    outcome.error == "FFmpeg failed (exit 143): timed out after 0.3 s")
            << outcome.error.value_or("no error");
        return;
    }
    EXPECT_EQ(outcome.logs, std::vector<std::string>{"waiting\n"});
    EXPECT_EQ(outcome.error, "FFmpeg failed (exit 137): timed out after 0.3 s | waiting");
    EXPECT_GE(took, 300ms + FFmpegRunner::killGrace);
    const int pid = fake.pid();
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // already reaped: no zombie of ours
    EXPECT_TRUE(groupGone(pid));                      // and the sleeping grandchild went with it
}

// The stop comes once the child runs. The limit is far beyond what the stop needs, so a stop that is
// not acted on shows as a time-out instead of a cancel.
TEST(FFmpegRunner, StopRequestEndsTheChildAndThrowsCancelled) {
    const test::TempDir dir;
    const FakeFFmpeg fake("touch '" + (dir / "running").string() + "'; sleep 1000");
    std::stop_source source;
    std::jthread stopper([&] {
        (void)test::waitUntil([&] { return std::filesystem::exists(dir / "running"); });
        source.request_stop();
    });
    EXPECT_THROW(fake.runner().execute({}, 300s, {}, source.get_token()), OperationCancelled);
    EXPECT_TRUE(groupGone(fake.pid()));
}

// A runner that waited for the grandchild's end of the pipe would run into the limit and report a time-out.
TEST(FFmpegRunner, GrandchildHoldingThePipeDoesNotDelaySuccess) {
    const FakeFFmpeg fake("(sleep 1000 &); echo done");
    const Outcome outcome = run(fake.runner(), 300s);
    EXPECT_EQ(outcome.error, std::nullopt);
    EXPECT_EQ(outcome.logs, std::vector<std::string>{"done\n"});
    ::kill(-fake.pid(), SIGKILL);
}

TEST(FFmpegRunner, SearchSkipsFoldersAndFilesWeCannotExecute) {
    const test::TempDir dir;
    std::filesystem::create_directories(dir / "folder/ffmpeg");
    const auto plain = dir.write("plain/ffmpeg", "#!/bin/sh\n");
    const FakeFFmpeg fake("true");
    const FFmpegRunner skipped({dir / "missing/ffmpeg", dir / "folder/ffmpeg", plain});
    EXPECT_FALSE(skipped.isFFmpegAvailable());
    try {
        skipped.execute({}, 1s);
        ADD_FAILURE() << "ran without an executable";
    } catch (const FFmpegRunner::FFmpegError& e) {
        EXPECT_EQ(e.kind(), FFmpegRunner::FFmpegError::Kind::binaryNotFound);
        EXPECT_STREQ(e.what(), "FFmpeg binary was not found. Please bundle it or install via 'apt install ffmpeg'.");
    }
    const FFmpegRunner found({dir / "folder/ffmpeg", plain, fake.path()});
    EXPECT_EQ(found.locateFFmpegBinary(), fake.path());
}

}  // namespace
}  // namespace morvale
