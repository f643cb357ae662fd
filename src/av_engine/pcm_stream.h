#pragma once

#include "base/callbacks.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace morvale {

// The one way audio enters the engine: any file FFmpeg can read, streamed as interleaved 32-bit float
// chunks of whole frames (1.0 = 0 dBFS) at the source's or a forced rate and channel count. Sources with
// more than two channels arrive as two. Nothing beyond one chunk is held in memory.
class PCMStream {
public:
    struct Format {
        double sampleRate = 0.0;
        int channels = 0;
        double durationSeconds = 0.0;
    };

    class StreamError : public std::runtime_error {
    public:
        enum class Kind { noAudioTrack, readFailed };
        StreamError(Kind kind, const std::filesystem::path& file, const std::string& reason = {});
        Kind kind() const { return kind_; }

    private:
        Kind kind_;
    };

    // Receives `frames` interleaved frames; may throw to stop reading (the exception passes through).
    using ChunkCallback = std::function<void(std::span<const float> samples, std::int64_t frames)>;
    using LogCallback = LogSink;

    // The first audio stream's rate (44100 when unknown), channels (unknown: 1, more than two: 2) and the
    // file's duration in seconds. Only regular files are read, and a container whose length fields claim
    // more than the file holds is refused (readFailed); a stop requested on `stop` ends the open with
    // OperationCancelled.
    static Format format(const std::filesystem::path& file, const LogCallback& log = {}, std::stop_token stop = {});

    // Decodes the whole file, or its first `maxDuration` seconds, in file order. Returns the rate and
    // channel count delivered and the source's full duration. A decode that met errors or ended more than
    // a second short of the declared duration logs a warning and still returns what it decoded. A stop
    // requested on `stop` ends the decode before the next packet (a few milliseconds of audio) with
    // OperationCancelled.
    static Format read(const std::filesystem::path& file, std::optional<double> sampleRate,
                       std::optional<int> channels, std::optional<double> maxDuration, const ChunkCallback& chunk,
                       const LogCallback& log = {}, std::stop_token stop = {});
};

}  // namespace morvale
