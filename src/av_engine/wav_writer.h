#pragma once

#include "base/atomic_file_writer.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvale {

// Writes interleaved float frames as linear-PCM WAV (16 or 24 bit), clamping to full scale first.
// The file is built under a temporary name beside the destination and renamed into place by close(), so
// a failed or abandoned write never leaves a partial file and keeps any earlier one. Past 4 GiB of
// audio the header becomes RF64.
class WAVWriter {
public:
    class WriteError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    WAVWriter(const std::filesystem::path& destination, double sampleRate, int channels, int bitDepth);
    ~WAVWriter();
    WAVWriter(const WAVWriter&) = delete;
    WAVWriter& operator=(const WAVWriter&) = delete;

    // Appends `frames` interleaved frames; 0 frames writes nothing.
    void write(const float* samples, std::int64_t frames);
    // Finishes the header and renames the file into place. Without it the temporary file is removed.
    void close();

    int channels() const { return channels_; }
    // The bytes write() puts into the file for `count` samples (little-endian, 2 or 3 bytes a sample), so
    // a copy of the data handed elsewhere is bit for bit what the file holds.
    static void encode(const float* samples, std::size_t count, int bytesPerSample, std::uint8_t* out);
    std::int64_t framesWritten() const { return frames_; }

private:
    void writeHeader(bool rf64);
    void flush();
    [[noreturn]] void fail(const AtomicWriteError& error);

    std::filesystem::path destination_;
    std::optional<AtomicFileWriter> file_;  // empty once closed or failed
    std::uint32_t sampleRate_;
    int channels_;
    int bytesPerSample_;
    std::int64_t frames_ = 0;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace morvale
