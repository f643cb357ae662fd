#pragma once

#include "base/callbacks.h"
#include "base/unique_fd.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace morvale {

// Finds an FFmpeg executable and runs it as a child process (ChildSpawner: it ends with this process,
// however that ends): an argument vector (never a shell), standard input from /dev/null or a pipe of the
// caller's, standard output and error through one pipe, no other descriptor inherited, its own process
// group. The runner holds only its search list, so one instance may run any number of children at once
// from any threads.
class FFmpegRunner {
public:
    // what() is the message:
    //   executionFailed  "FFmpeg failed (exit <code>)", then ": <message>" when the message is not empty
    //   binaryNotFound   "FFmpeg binary was not found. Please bundle it or install via 'apt install ffmpeg'."
    class FFmpegError : public std::runtime_error {
    public:
        enum class Kind { executionFailed, binaryNotFound };

        static FFmpegError executionFailed(int exitCode, const std::string& message);
        static FFmpegError binaryNotFound();

        Kind kind() const { return kind_; }
        // The child's exit status, 128 + the signal for a child that a signal ended; 0 for binaryNotFound.
        int exitCode() const { return exitCode_; }
        const std::string& message() const { return message_; }

    private:
        FFmpegError(Kind kind, int exitCode, std::string message, const std::string& text);
        Kind kind_;
        int exitCode_;
        std::string message_;
    };

    // Put in front of every caller's arguments.
    static const std::vector<std::string>& leadingArguments();

    // Output kept per run: the last bytes only, so a chatty or runaway child cannot fill memory.
    static constexpr std::size_t maxOutputBytes = std::size_t{1} << 20;
    // Between SIGTERM and SIGKILL when a run is stopped or runs out of time; FFmpeg ends within
    // milliseconds of a SIGTERM, and a stopped item should not wait long for one that does not.
    static constexpr std::chrono::seconds killGrace{1};

    // How a file path is handed to FFmpeg: absolute, so no relative name ("-out/x.mp3") can be taken for
    // an option or a protocol.
    static std::string pathArgument(const std::filesystem::path& path);

    // The runner the system uses, searching the default locations.
    static const FFmpegRunner& shared();

    // Beside the running program, then /usr/local/bin, /opt/local/bin, /usr/bin.
    static std::vector<std::filesystem::path> defaultSearchLocations();

    FFmpegRunner() : FFmpegRunner(defaultSearchLocations()) {}
    explicit FFmpegRunner(std::vector<std::filesystem::path> searchLocations)
        : searchLocations_(std::move(searchLocations)) {}

    // The first search location that is a regular file (after symbolic links) we may execute; looked up
    // afresh on every call.
    std::optional<std::filesystem::path> locateFFmpegBinary() const;
    bool isFFmpegAvailable() const { return locateFFmpegBinary().has_value(); }

    // Runs FFmpeg once with leadingArguments() followed by `arguments`. `onLog`, when set, receives the
    // collected output (invalid UTF-8 replaced by U+FFFD) in one call, when there is any. `input`, when
    // set, is the reading end of a pipe that becomes FFmpeg's standard input ("pipe:0"); it is closed here
    // once FFmpeg holds it, so that the writer gets EPIPE once FFmpeg ends and FFmpeg the end of its
    // input once the writer closes or dies.
    //
    // A child still running after `timeLimit` is sent SIGTERM, its process group SIGKILL `killGrace` later,
    // and the run fails with executionFailed. A stop request ends the child the same way and throws
    // OperationCancelled. The child is always reaped before this returns; what a grandchild that kept the
    // pipe open prints after the child ended is not waited for.
    //
    // Throws FFmpegError, OperationCancelled, or std::system_error when the process cannot be started.
    void execute(const std::vector<std::string>& arguments, std::chrono::milliseconds timeLimit,
                 const LogSink& onLog = {}, std::stop_token stop = {}, UniqueFd input = {}) const;

private:
    std::vector<std::filesystem::path> searchLocations_;
};

}  // namespace morvale
