#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

struct AVFormatContext;
struct AVIOContext;

namespace morvale {

// An audio file opened for FFmpeg's demuxers the safe way round: opened without blocking and refused
// unless it is a regular file (a FIFO or device would block the open or never end), its container's
// length fields checked against its size before FFmpeg allocates by them, and every read FFmpeg makes
// (open, probe, packets) going through our descriptor and ending as soon as `stop` is requested. Only
// the demuxers of recordings and music are allowed: WAV, AIFF, CAF, MP3, ADTS AAC, FLAC, Ogg, MP4/MOV.
// One owner, one thread at a time.
class AudioInputFile {
public:
    // what() is the reason, for "Could not read audio from <name>: <reason>", in the user's terms where
    // one is known: "not a regular file", "the file is empty", "not an audio file", "W64 recordings are
    // not supported", "1000 channels (at most 32 are supported)", "a sample rate of 0 Hz", "damaged
    // header (…)", "too much metadata (…)"; otherwise the system's error text or FFmpeg's.
    class Refused : public std::runtime_error {
    public:
        explicit Refused(const std::string& reason) : std::runtime_error(reason) {}
    };

    // Opens and probes `file` (avformat_open_input and avformat_find_stream_info). Throws Refused, or
    // OperationCancelled when `stop` was requested before or during the open.
    AudioInputFile(const std::filesystem::path& file, std::stop_token stop);
    ~AudioInputFile();
    AudioInputFile(const AudioInputFile&) = delete;
    AudioInputFile& operator=(const AudioInputFile&) = delete;

    AVFormatContext* container() const { return container_; }
    // The sample data's length as the container header declares it, where FFmpeg may report less.
    std::optional<double> declaredSeconds() const { return declaredSeconds_; }
    // True once a read or FFmpeg's interrupt check saw the stop; a failing FFmpeg call then means "stopped".
    bool stopped() const { return stop_.stop_requested(); }

private:
    static int readPacket(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);
    static int interrupted(void* opaque);
    void release() noexcept;

    std::stop_token stop_;
    int fd_ = -1;
    std::int64_t size_ = 0;
    AVIOContext* io_ = nullptr;
    AVFormatContext* container_ = nullptr;
    std::optional<double> declaredSeconds_;
};

}  // namespace morvale
