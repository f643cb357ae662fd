#include "av_engine/ffmpeg_runner.h"

#include "av_engine/child_spawner.h"
#include "base/cancellation.h"
#include "base/utf8.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morvale {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void throwErrno(int code, const std::string& what) {
    throw std::system_error(code, std::generic_category(), what);
}

// The tail of everything the child printed.
class OutputTail {
public:
    void append(const char* data, std::size_t size) {
        bytes_.append(data, size);
        // Trim in large steps so a flood costs amortised constant work per byte.
        if (bytes_.size() > 2 * FFmpegRunner::maxOutputBytes) bytes_.erase(0, bytes_.size() - FFmpegRunner::maxOutputBytes);
    }
    std::string text() const {
        const std::size_t keep = std::min(bytes_.size(), FFmpegRunner::maxOutputBytes);
        return utf8::sanitized(std::string_view(bytes_).substr(bytes_.size() - keep));
    }

private:
    std::string bytes_;
};

enum class ReadResult { drained, endOfFile };

// Reads what the non-blocking pipe holds now, at most `limit` bytes.
ReadResult readAvailable(int fd, OutputTail& tail, std::size_t limit) {
    std::array<char, 65536> buffer;
    std::size_t total = 0;
    while (total < limit) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            tail.append(buffer.data(), static_cast<std::size_t>(n));
            total += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return ReadResult::endOfFile;
        if (errno == EINTR) continue;
        return ReadResult::drained;  // EAGAIN, or an error that the child's exit status will explain
    }
    return ReadResult::drained;
}

// glibc 2.36 declares pidfd_open without C linkage, so call the kernel directly. Without pidfds (old
// kernels) the wait loops fall back to short polling slices.
int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// Owns a started child until it is reaped, so no exit path leaves a zombie or a running process group.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid), pidfd_(openPidfd(pid)) {}
    ~Child() {
        if (reaped_) return;
        ::kill(-pid_, SIGKILL);
        reap();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pidfd() const { return pidfd_.get(); }

    // True once the child has ended; it stays a zombie (and keeps its process group id) until reap().
    bool hasEnded() const {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
    }

    void signalGroup(int signal) const { ::kill(-pid_, signal); }

    int reap() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return status;
    }

private:
    pid_t pid_;
    UniqueFd pidfd_;
    bool reaped_ = false;
};

// Waits up to `timeout` for the pipe or the child, reading what arrives.
void waitForActivity(Child& child, int pipeFd, bool& pipeOpen, OutputTail& tail, std::chrono::milliseconds timeout) {
    std::array<pollfd, 2> fds{};
    nfds_t count = 0;
    if (pipeOpen) fds[count++] = pollfd{pipeFd, POLLIN, 0};
    if (child.pidfd() >= 0) fds[count++] = pollfd{child.pidfd(), POLLIN, 0};
    // Without a pidfd and with the pipe closed, poll only sleeps: keep the slice short.
    if (child.pidfd() < 0 && !pipeOpen) timeout = std::min(timeout, std::chrono::milliseconds(10));
    const int ready = ::poll(fds.data(), count, static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, timeout.count())));
    if (ready > 0 && pipeOpen && fds[0].revents != 0) {
        if (readAvailable(pipeFd, tail, 4 * FFmpegRunner::maxOutputBytes) == ReadResult::endOfFile) pipeOpen = false;
    }
}

std::string lastLines(const std::string& text, std::size_t count) {
    std::vector<std::string_view> lines;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) lines.push_back(line);
    }
    std::string joined;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        if (!joined.empty()) joined += " | ";
        joined += lines[i];
    }
    return joined;
}

std::string secondsText(std::chrono::milliseconds limit) {
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                      static_cast<double>(limit.count()) / 1000.0);
    return std::string(buffer.data(), result.ptr);
}

int exitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

FFmpegRunner::FFmpegError::FFmpegError(Kind kind, int exitCode, std::string message, const std::string& text)
    : std::runtime_error(text), kind_(kind), exitCode_(exitCode), message_(std::move(message)) {}

FFmpegRunner::FFmpegError FFmpegRunner::FFmpegError::executionFailed(int exitCode, const std::string& message) {
    std::string text = "FFmpeg failed (exit " + std::to_string(exitCode) + ")";
    if (!message.empty()) text += ": " + message;
    return FFmpegError(Kind::executionFailed, exitCode, message, text);
}

FFmpegRunner::FFmpegError FFmpegRunner::FFmpegError::binaryNotFound() {
    return FFmpegError(Kind::binaryNotFound, 0, {},
                       "FFmpeg binary was not found. Please bundle it or install via 'apt install ffmpeg'.");
}

const std::vector<std::string>& FFmpegRunner::leadingArguments() {
    static const std::vector<std::string> arguments{"-hide_banner", "-nostdin", "-loglevel", "error"};
    return arguments;
}

const FFmpegRunner& FFmpegRunner::shared() {
    static const FFmpegRunner runner;
    return runner;
}

std::vector<fs::path> FFmpegRunner::defaultSearchLocations() {
    std::vector<fs::path> places;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec && self.has_parent_path()) places.push_back(self.parent_path() / "ffmpeg");
    for (const char* p : {"/usr/local/bin/ffmpeg", "/opt/local/bin/ffmpeg", "/usr/bin/ffmpeg"}) places.emplace_back(p);
    return places;
}

std::string FFmpegRunner::pathArgument(const fs::path& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    // Without a working folder a relative path cannot be made absolute; FFmpeg's file protocol prefix
    // still keeps it from being read as an option.
    return ec ? "file:" + path.string() : absolute.string();
}

std::optional<fs::path> FFmpegRunner::locateFFmpegBinary() const {
    for (const auto& place : searchLocations_) {
        struct stat info {};
        if (::stat(place.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(place.c_str(), X_OK) == 0) return place;
    }
    return std::nullopt;
}

void FFmpegRunner::execute(const std::vector<std::string>& arguments, std::chrono::milliseconds timeLimit,
                           const LogSink& onLog, std::stop_token stop, UniqueFd input) const {
    const std::optional<fs::path> binary = locateFFmpegBinary();
    if (!binary) throw FFmpegError::binaryNotFound();
    throwIfStopRequested(stop);

    std::vector<std::string> argv{binary->string()};
    argv.insert(argv.end(), leadingArguments().begin(), leadingArguments().end());
    argv.insert(argv.end(), arguments.begin(), arguments.end());

    std::array<int, 2> ends{};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0) throwErrno(errno, "Cannot make a pipe for FFmpeg");
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t pid = ChildSpawner::spawn(*binary, argv, input.get(), writeEnd.get());
    Child child(pid);
    // The child holds its own ends now: it sees the end of its input when the writer closes, and we
    // see the end of its output when it ends.
    input.reset();
    writeEnd.reset();
    ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);

    enum class Ending { exited, timedOut, stopped };
    Ending ending = Ending::exited;
    OutputTail tail;
    bool pipeOpen = true;
    const Clock::time_point deadline = Clock::now() + timeLimit;
    while (!child.hasEnded()) {
        if (stop.stop_requested()) {
            ending = Ending::stopped;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            ending = Ending::timedOut;
            break;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        waitForActivity(child, readEnd.get(), pipeOpen, tail, std::min(left, std::chrono::milliseconds(100)));
    }

    if (ending != Ending::exited) {
        child.signalGroup(SIGTERM);
        const Clock::time_point killAt = Clock::now() + killGrace;
        while (!child.hasEnded() && Clock::now() < killAt) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(killAt - Clock::now());
            waitForActivity(child, readEnd.get(), pipeOpen, tail, std::min(left, std::chrono::milliseconds(100)));
        }
        // While the ended child is still a zombie its group id cannot be reused, so this reaches only
        // its own leftovers.
        child.signalGroup(SIGKILL);
    }
    const int status = child.reap();
    // A grandchild may still hold the pipe open: take what is buffered now and stop listening.
    if (pipeOpen) readAvailable(readEnd.get(), tail, 4 * maxOutputBytes);

    const std::string text = tail.text();
    if (!text.empty() && onLog) onLog(text);
    if (ending == Ending::stopped) throw OperationCancelled();
    const int code = exitCodeOf(status);
    if (ending == Ending::timedOut) {
        std::string message = "timed out after " + secondsText(timeLimit) + " s";
        if (const std::string lines = lastLines(text, 3); !lines.empty()) message += " | " + lines;
        throw FFmpegError::executionFailed(code, message);
    }
    if (code != 0) throw FFmpegError::executionFailed(code, lastLines(text, 3));
}

}  // namespace morvale
