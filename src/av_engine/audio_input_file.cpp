#include "av_engine/audio_input_file.h"

#include "av_engine/audio_container_check.h"
#include "av_engine/ffmpeg_log.h"
#include "base/cancellation.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace morvale {

namespace {

// FFmpeg's own file reader uses the same size.
constexpr int kBufferSize = 32768;
constexpr const char* kAllowedDemuxers = "wav,aiff,caf,mp3,aac,flac,ogg,mov";

std::string systemText(int code) { return std::generic_category().message(code); }

// Containers of recordings that are refused by design, by FFmpeg's demuxer name, in the user's words.
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kRefusedContainers{{
    {"w64", "W64 recordings are not supported"},
    {"matroska,webm", "Matroska recordings are not supported"},
}};

bool allowed(std::string_view demuxer) {
    std::string_view list = kAllowedDemuxers;
    for (;;) {
        const std::size_t comma = list.find(',');
        if (list.substr(0, comma) == demuxer) return true;
        if (comma == std::string_view::npos) return false;
        list.remove_prefix(comma + 1);
    }
}

// Why FFmpeg would not open the file, in the user's terms, when it said only "Invalid argument" (the
// container is not on the allowed list) or "Invalid data": what the file's first bytes look like to
// FFmpeg's prober, asked with every demuxer. Empty when the prober finds an allowed container (a
// damaged one, for FFmpeg's own text to tell).
std::string openProblem(int fd, const std::filesystem::path& file) {
    // The prober's largest look, with the padding it reads past the end.
    std::vector<unsigned char> head(std::size_t{1} << 20 | AVPROBE_PADDING_SIZE, 0);
    ssize_t got = 0;
    do {
        got = ::pread(fd, head.data(), head.size() - AVPROBE_PADDING_SIZE, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return "not an audio file";
    const std::string name = file.string();
    AVProbeData probe{name.c_str(), head.data(), static_cast<int>(got), ""};
    int score = 0;
    const AVInputFormat* format = av_probe_input_format3(&probe, 1, &score);
    if (format == nullptr) return "not an audio file";
    if (allowed(format->name)) return {};
    for (const auto& [demuxer, reason] : kRefusedContainers) {
        if (format->name == demuxer) return std::string(reason);
    }
    return "not an audio file";
}

// The channel count and rate of every audio stream, checked before FFmpeg sizes buffers by them.
void checkStreams(const AVFormatContext& container) {
    for (unsigned i = 0; i < container.nb_streams; ++i) {
        const AVCodecParameters& stream = *container.streams[i]->codecpar;
        if (stream.codec_type != AVMEDIA_TYPE_AUDIO) continue;
        if (stream.ch_layout.nb_channels > AudioContainerCheck::maxChannels) {
            throw AudioInputFile::Refused(AudioContainerCheck::channelsProblem(
                static_cast<std::uint64_t>(stream.ch_layout.nb_channels)));
        }
        if (stream.sample_rate > AudioContainerCheck::maxSampleRate) {
            throw AudioInputFile::Refused(
                AudioContainerCheck::sampleRateProblem(static_cast<std::uint64_t>(stream.sample_rate)));
        }
    }
}

}  // namespace

AudioInputFile::AudioInputFile(const std::filesystem::path& file, std::stop_token stop) : stop_(std::move(stop)) {
    throwIfStopRequested(stop_);
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    fd_ = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0) throw Refused(systemText(errno));
    try {
        struct stat info {};
        if (::fstat(fd_, &info) != 0) throw Refused(systemText(errno));
        if (!S_ISREG(info.st_mode)) throw Refused("not a regular file");
        // Regular files never block; clearing the flag keeps reads plain.
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        size_ = info.st_size;
        if (size_ == 0) throw Refused("the file is empty");

        AudioContainerCheck::Result checked = AudioContainerCheck::inspect(fd_, static_cast<std::uint64_t>(size_), stop_);
        if (!checked.problem.empty()) throw Refused(checked.problem);
        declaredSeconds_ = checked.declaredSeconds;

        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
        if (buffer == nullptr) throw std::bad_alloc();
        io_ = avio_alloc_context(buffer, kBufferSize, 0, this, &AudioInputFile::readPacket, nullptr, &AudioInputFile::seek);
        if (io_ == nullptr) {
            av_free(buffer);
            throw std::bad_alloc();
        }
        container_ = avformat_alloc_context();
        if (container_ == nullptr) throw std::bad_alloc();
        container_->pb = io_;
        container_->flags |= AVFMT_FLAG_CUSTOM_IO;
        container_->interrupt_callback = AVIOInterruptCB{&AudioInputFile::interrupted, this};
        // Only the containers recordings and music come in: FFmpeg's hundreds of other demuxers, each
        // with its own length fields, never see a user's file.
        container_->format_whitelist = av_strdup(kAllowedDemuxers);
        if (container_->format_whitelist == nullptr) throw std::bad_alloc();
        // The name only guides probing by extension; nothing opens it.
        const int opened = avformat_open_input(&container_, file.c_str(), nullptr, nullptr);
        if (opened < 0) {
            container_ = nullptr;  // freed by the failed open
            throwIfStopRequested(stop_);
            std::string problem;
            if (opened == AVERROR(EINVAL) || opened == AVERROR_INVALIDDATA) problem = openProblem(fd_, file);
            throw Refused(problem.empty() ? ffmpeg::errorText(opened) : problem);
        }
        checkStreams(*container_);
        const int info2 = avformat_find_stream_info(container_, nullptr);
        throwIfStopRequested(stop_);
        if (info2 < 0) throw Refused(ffmpeg::errorText(info2));
        checkStreams(*container_);
    } catch (...) {
        release();
        throw;
    }
}

AudioInputFile::~AudioInputFile() { release(); }

void AudioInputFile::release() noexcept {
    if (container_ != nullptr) avformat_close_input(&container_);
    if (io_ != nullptr) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int AudioInputFile::readPacket(void* opaque, std::uint8_t* buffer, int size) {
    auto* self = static_cast<AudioInputFile*>(opaque);
    if (self->stop_.stop_requested()) return AVERROR_EXIT;
    for (;;) {
        const ssize_t got = ::read(self->fd_, buffer, static_cast<std::size_t>(size));
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

std::int64_t AudioInputFile::seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<AudioInputFile*>(opaque);
    // The size found at open: FFmpeg bounds its top-level reads by it.
    if ((whence & AVSEEK_SIZE) != 0) return self->size_;
    const off_t to = ::lseek(self->fd_, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return to < 0 ? AVERROR(errno) : static_cast<std::int64_t>(to);
}

int AudioInputFile::interrupted(void* opaque) {
    return static_cast<AudioInputFile*>(opaque)->stop_.stop_requested() ? 1 : 0;
}

}  // namespace morvale
