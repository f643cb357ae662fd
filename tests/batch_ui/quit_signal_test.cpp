// SIGTERM to a running batch: the program quits as after "Quit", within two seconds, and leaves
// no temporary file, no scratch folder, no FFmpeg child and no part of an unfinished item.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "av_engine/wav_writer.h"
#include "image_engine/core_image_pipeline.h"
#include "image_engine/packed_texture.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace morvale::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

PackedTexture pattern(int side, int seed) {
    PackedTexture out{side, side, std::vector<std::uint8_t>(static_cast<std::size_t>(side) * side * 4)};
    std::uint32_t state = 2463534242u + static_cast<std::uint32_t>(seed);
    for (std::size_t i = 0; i < out.rgba.size(); i += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out.rgba[i] = static_cast<std::uint8_t>(state);
        out.rgba[i + 1] = static_cast<std::uint8_t>(state >> 8);
        out.rgba[i + 2] = static_cast<std::uint8_t>(i / 4 % static_cast<std::size_t>(side));
        out.rgba[i + 3] = 255;
    }
    return out;
}

// A minute of a 220 Hz tone with a pause now and then.
void writeSpeechLikeWav(const fs::path& file) {
    const int rate = 44100;
    std::vector<float> samples(static_cast<std::size_t>(rate) * 60);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const bool pause = (i / rate) % 5 == 4;
        samples[i] = pause ? 0.0f : 0.25f * static_cast<float>(std::sin(2 * 3.14159265358979 * 220.0 * static_cast<double>(i) / rate));
    }
    WAVWriter writer(file, rate, 1, 16);
    writer.write(samples.data(), static_cast<std::int64_t>(samples.size()));
    writer.close();
}

struct Outcome {
    bool exited = false;
    int status = -1;
    double secondsAfterSignal = 0;
    double secondsRunning = 0;  // from the first item's start to the exit
    std::string output;
};

// Runs the driver; with `signalAfterStart`, sends SIGTERM that long after it said "running".
Outcome runDriver(const std::vector<std::string>& arguments, const fs::path& scratch,
                  std::optional<std::chrono::milliseconds> signalAfterStart) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return {};
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::setenv("TMPDIR", scratch.c_str(), 1);
        // Qt's own runtime folder is not the program's scratch.
        const fs::path runtime = scratch.parent_path() / "runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::vector<char*> argv{const_cast<char*>(MORVALE_QUIT_DRIVER_PATH)};
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    Outcome outcome;
    std::optional<Clock::time_point> signalled, running;
    const auto deadline = Clock::now() + std::chrono::minutes(5);
    while (Clock::now() < deadline) {
        pollfd readable{pipeEnds[0], POLLIN, 0};
        if (::poll(&readable, 1, 20) > 0) {
            char buffer[256];
            const ssize_t n = ::read(pipeEnds[0], buffer, sizeof buffer);
            if (n > 0) outcome.output.append(buffer, static_cast<std::size_t>(n));
        }
        if (!running && outcome.output.find("running") != std::string::npos) running = Clock::now();
        if (signalAfterStart && !signalled && running) {
            std::this_thread::sleep_for(*signalAfterStart);
            ::kill(child, SIGTERM);
            signalled = Clock::now();
        }
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            outcome.exited = true;
            outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);  // killed: negative
            if (signalled) outcome.secondsAfterSignal = std::chrono::duration<double>(Clock::now() - *signalled).count();
            if (running) outcome.secondsRunning = std::chrono::duration<double>(Clock::now() - *running).count();
            break;
        }
    }
    if (!outcome.exited) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) outcome.output.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    return outcome;
}

std::size_t completedCount(const std::string& output) {
    const auto at = output.find("completed ");
    return at == std::string::npos ? 0 : static_cast<std::size_t>(std::stoul(output.substr(at + 10)));
}

// The files below the folder (the folders that hold them are shared between items).
std::vector<fs::path> everything(const fs::path& folder) {
    std::vector<fs::path> found;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (!it->is_directory()) found.push_back(it->path());
    }
    return found;
}

// FFmpeg processes still running that work on files of this test.
std::vector<std::string> ffmpegChildrenFor(const fs::path& folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string command = readFile(entry.path() / "cmdline");
        if (command.find("ffmpeg") != std::string::npos && command.find(folder.string()) != std::string::npos) {
            found.push_back(command);
        }
    }
    return found;
}

TEST(QuitSignal, SigtermDuringARunQuitsPromptlyAndLeavesOnlyCompleteItems) {
    struct Case {
        const char* kind;
        std::function<std::vector<fs::path>(const fs::path&)> makeInputs;
        double secondsToExit;
    };
    const std::vector<Case> cases{
        {"texture-mipmaps",
         [](const fs::path& in) {
             std::vector<fs::path> files;
             for (int i = 0; i < 6; ++i) {
                 files.push_back(in / ("Tex" + std::to_string(i) + ".png"));
                 PackedTexture::writePNG(pattern(3000, i), files.back());
             }
             return files;
         },
         2.0},
        {"listing",
         [](const fs::path& in) {
             std::vector<fs::path> files;
             for (int i = 0; i < 6; ++i) {
                 files.push_back(in / ("Room" + std::to_string(i) + ".jpg"));
                 CoreImagePipeline::shared().write(PipelineImage{pattern(4000, i), {}}, files.back(), 0.9);
             }
             return files;
         },
         2.0},
        // Loading the speech model is one call into the recogniser that nothing interrupts; on a
        // busy machine it takes a few seconds, and a signal may arrive during it.
        {"podcast",
         [](const fs::path& in) {
             std::vector<fs::path> files;
             for (int i = 0; i < 3; ++i) {
                 files.push_back(in / ("Episode" + std::to_string(i) + ".wav"));
                 writeSpeechLikeWav(files.back());
             }
             return files;
         },
         10.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        TempDir temp;
        fs::create_directories(temp / "in");
        fs::create_directories(temp / "scratch");
        const auto inputs = c.makeInputs(temp / "in");

        // What one complete item leaves, from a run of the first input alone.
        const auto whole = runDriver({c.kind, (temp / "settings-whole.json").string(), (temp / "whole").string(),
                                      inputs.front().string()},
                                     temp / "scratch", std::nullopt);
        ASSERT_TRUE(whole.exited);
        ASSERT_EQ(completedCount(whole.output), 1u) << whole.output;
        const std::size_t perItem = everything(temp / "whole").size();
        ASSERT_GT(perItem, 0u);

        std::vector<std::string> arguments{c.kind, (temp / "settings.json").string(), (temp / "out").string()};
        for (const auto& input : inputs) arguments.push_back(input.string());
        // Late enough that some items are done and others are part-way through their outputs.
        const auto stopped = runDriver(arguments, temp / "scratch", std::chrono::milliseconds(1500));
        ASSERT_TRUE(stopped.exited);
        EXPECT_EQ(stopped.status, 128 + SIGTERM);
        // Promptly: well before the items still running could finish. A sanitizer or a busy machine
        // slows every stage alike, so the bound grows with what one whole item took here and now.
        EXPECT_LT(stopped.secondsAfterSignal, std::max(c.secondsToExit, whole.secondsRunning));
        // First, as anything still running could write on: a child the program killed on its way
        // out is gone only when the kernel gets to it.
        EXPECT_TRUE(waitUntil([&] { return ffmpegChildrenFor(temp.path()).empty(); }))
            << "an FFmpeg child outlived the program";
        const auto left = everything(temp / "out");
        for (const auto& file : left) {
            EXPECT_NE(file.filename().string().rfind(".mx-", 0), 0u) << file;
        }
        EXPECT_EQ(left.size(), completedCount(stopped.output) * perItem)
            << "outputs of an unfinished item are left, such as " << (left.empty() ? fs::path() : left.front());
        EXPECT_TRUE(everything(temp / "scratch").empty()) << "a scratch folder is left";
    }
}

}  // namespace
}  // namespace morvale::test
