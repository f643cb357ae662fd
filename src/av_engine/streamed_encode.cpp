#include "av_engine/streamed_encode.h"

#include "av_engine/wav_writer.h"
#include "base/cancellation.h"
#include "base/unique_fd.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace morvale {

namespace {

constexpr int kBytesPerSample = 3;
// Bytes read from the spool and written to the pipe at a time.
constexpr std::size_t kFeedBytes = std::size_t{1} << 20;

[[noreturn]] void failWith(const std::string& what, const std::filesystem::path& path) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

struct StreamedEncode::Spool {
    explicit Spool(const std::filesystem::path& path) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) failWith("Cannot create the encoder's spool file", path);
    }
    ~Spool() { ::close(fd); }
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    int fd;
    std::mutex mutex;
    std::condition_variable_any grown;
    std::int64_t written = 0;
    bool complete = false;
};

namespace {

// Passes the spool on to the encoder's pipe as it grows, until it is complete or `stop` fires; the pipe
// closes when this returns, which ends the encoder's input.
void feed(StreamedEncode::Spool& spool, UniqueFd out, std::stop_token stop) {
    // An encoder that ended early closes the pipe: a write then fails with EPIPE instead of a signal that
    // would end the process, and the encoder's own error is what the export reports.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    std::vector<std::uint8_t> buffer(kFeedBytes);
    std::int64_t sent = 0;
    for (;;) {
        std::int64_t available = 0;
        {
            std::unique_lock lock(spool.mutex);
            if (!spool.grown.wait(lock, stop, [&] { return spool.written > sent || spool.complete; })) return;
            available = spool.written - sent;
            if (available == 0) return;  // complete: closing the pipe ends the encoder's input
        }
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(available, static_cast<std::int64_t>(kFeedBytes)));
        const ssize_t got = ::pread(spool.fd, buffer.data(), want, sent);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            return;
        }
        if (!writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got))) return;
        // What the encoder has is not needed again: the spool's disk space follows the encoder's lag.
        ::fallocate(spool.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, sent, got);
        sent += got;
    }
}

}  // namespace

StreamedEncode::StreamedEncode(const FFmpegRunner& ffmpeg, std::filesystem::path spool, OutputArguments outputArguments,
                               std::chrono::milliseconds timeLimit, std::stop_token stop)
    : ffmpeg_(ffmpeg), spoolPath_(std::move(spool)), outputArguments_(std::move(outputArguments)), timeLimit_(timeLimit),
      stop_(std::move(stop)) {}

StreamedEncode::~StreamedEncode() = default;

void StreamedEncode::started(double sampleRate, int channels) {
    // A pass that starts over replaces every sample of the last: so does its encode.
    encode_.reset();
    spool_.reset();
    spool_ = std::make_shared<Spool>(spoolPath_);
    std::vector<std::string> arguments{"-y", "-f", "s24le", "-ar", std::to_string(std::lround(sampleRate)), "-ac",
                                       std::to_string(channels), "-i", "pipe:0"};
    const std::vector<std::string> output = outputArguments_(sampleRate);
    arguments.insert(arguments.end(), output.begin(), output.end());
    channels_ = channels;
    // The stage may outlive this object (finish() hands it over): it holds copies of what it uses.
    encode_ = std::make_unique<SideStage>(
        stop_, [&ffmpeg = ffmpeg_, spool = spool_, arguments, limit = timeLimit_](
                   std::stop_token stop, const LogSink&) -> std::optional<std::filesystem::path> {
            // An unnamed pipe, not a named one: FFmpeg never waits to open it, and it ends FFmpeg's input
            // however its writer ends, this process's death included.
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0) {
                throw std::system_error(errno, std::generic_category(), "Cannot make a pipe for the encoder");
            }
            UniqueFd input(ends[0]);
            std::jthread feeder([&spool, out = UniqueFd(ends[1])](std::stop_token feederStop) mutable {
                feed(*spool, std::move(out), feederStop);
            });
            const std::stop_callback stopFeeder(stop, [&] { feeder.request_stop(); });
            try {
                ffmpeg.execute(arguments, limit, {}, stop, std::move(input));
            } catch (...) {
                // An encoder that failed reads no more: the feeder must not wait for it.
                feeder.request_stop();
                throw;
            }
            return std::nullopt;
        });
}

void StreamedEncode::rendered(const float* samples, std::int64_t frames) {
    if (!spool_ || frames < 1) return;
    const std::size_t count = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_);
    bytes_.resize(count * kBytesPerSample);
    WAVWriter::encode(samples, count, kBytesPerSample, bytes_.data());
    if (!writeAll(spool_->fd, bytes_.data(), bytes_.size())) failWith("Cannot write the encoder's spool file", spoolPath_);
    std::lock_guard lock(spool_->mutex);
    spool_->written += static_cast<std::int64_t>(bytes_.size());
    spool_->grown.notify_all();
}

std::unique_ptr<SideStage> StreamedEncode::finish() {
    if (spool_) {
        std::lock_guard lock(spool_->mutex);
        spool_->complete = true;
        spool_->grown.notify_all();
    }
    return std::move(encode_);
}

}  // namespace morvale
