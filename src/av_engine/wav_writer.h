#pragma once

#include "base/atomic_file_writer.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace morvale {

// Writes interleaved float frames as linear-PCM WAV (16 or 24 bit), clamping to full scale first.
// The file is built under a temporary name beside the destination and renamed into place by close(), so
// a failed or abandoned write never leaves a partial file and keeps any earlier one.
//
// A file whose sizes fit 32 bits gets the canonical 44-byte header (RIFF, fmt, data) and nothing else:
// some readers (pocketsphinx among them) take the format from fixed offsets and refuse any other layout.
// Only a file past 4 GiB becomes RF64, whose ds64 chunk needs 36 more bytes before the samples: close()
// then moves the samples up inside the temporary file, one extra pass that only such files pay.
class WAVWriter {
public:
    class WriteError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Largest RIFF size (file size less 8) written as plain RIFF.
    static constexpr std::uint64_t largestRiffSize = 0xFFFFFFFFull;

    // `riffLimit` lowers the RF64 threshold so the switch can be exercised without writing 4 GiB.
    WAVWriter(const std::filesystem::path& destination, double sampleRate, int channels, int bitDepth,
              std::uint64_t riffLimit = largestRiffSize);
    ~WAVWriter();
    WAVWriter(const WAVWriter&) = delete;
    WAVWriter& operator=(const WAVWriter&) = delete;

    // Appends `frames` interleaved frames; 0 frames writes nothing.
    void write(const float* samples, std::int64_t frames);
    // Finishes the header and renames the file into place. Without it the temporary file is removed.
    // Only the RF64 move can take long; `stop` ends it, removes the file and throws OperationCancelled.
    void close(std::stop_token stop = {});

    int channels() const { return channels_; }
    // The bytes write() puts into the file for `count` samples (little-endian, 2 or 3 bytes a sample), so
    // a copy of the data handed elsewhere is bit for bit what the file holds.
    static void encode(const float* samples, std::size_t count, int bytesPerSample, std::uint8_t* out);
    std::int64_t framesWritten() const { return frames_; }

private:
    std::uint64_t dataBytes() const;
    void writeHeader(bool rf64);
    void moveSamplesUp(std::uint64_t by, std::stop_token stop);
    void flush();
    [[noreturn]] void fail(const AtomicWriteError& error);

    std::filesystem::path destination_;
    std::optional<AtomicFileWriter> file_;  // empty once closed or failed
    std::uint32_t sampleRate_;
    int channels_;
    int bytesPerSample_;
    std::uint64_t riffLimit_;
    std::int64_t frames_ = 0;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace morvale
