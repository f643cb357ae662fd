#include "av_engine/wav_writer.h"

#include "base/cancellation.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace morvale {

namespace {

// RIFF, fmt and data: the canonical layout.
constexpr std::size_t kPlainHeader = 12 + 24 + 8;
// RF64 adds a ds64 chunk with the 64-bit sizes between WAVE and fmt.
constexpr std::size_t kRF64Header = kPlainHeader + 36;
// Samples are handed to the file in runs of about this many bytes.
constexpr std::size_t kFlushBytes = 1 << 20;
// The RF64 move goes through a buffer of this size; a few milliseconds of disk work per stop check.
constexpr std::size_t kMoveBytes = std::size_t{4} << 20;

void putU16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v & 0xFF);
    p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
}
void putU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}
void putU64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

// Scales to the integer range with rounding; NaN becomes silence, anything beyond full scale is clamped.
std::int32_t quantise(float sample, double scale) {
    if (!(sample == sample)) return 0;
    const double v = static_cast<double>(sample) * scale;
    if (v >= scale - 1.0) return static_cast<std::int32_t>(scale - 1.0);
    if (v <= -scale) return static_cast<std::int32_t>(-scale);
    return static_cast<std::int32_t>(v < 0.0 ? v - 0.5 : v + 0.5);  // half away from zero
}

}  // namespace

WAVWriter::WAVWriter(const std::filesystem::path& destination, double sampleRate, int channels, int bitDepth,
                     std::uint64_t riffLimit)
    : destination_(destination), channels_(channels), bytesPerSample_(bitDepth / 8), riffLimit_(riffLimit) {
    if (bitDepth != 16 && bitDepth != 24) throw WriteError("Unsupported WAV bit depth " + std::to_string(bitDepth));
    if (channels < 1 || channels > 8) throw WriteError("Unsupported WAV channel count " + std::to_string(channels));
    if (!std::isfinite(sampleRate) || sampleRate < 1.0 || sampleRate > 4.0e6) {
        throw WriteError("Unsupported WAV sample rate");
    }
    sampleRate_ = static_cast<std::uint32_t>(std::lround(sampleRate));
    try {
        file_.emplace(destination, AtomicFileWriter::Options{.createFolders = false, .durable = true});
    } catch (const AtomicWriteError& error) {
        throw WriteError("Could not create " + destination.filename().string() + ": " + error.code().message());
    }
    writeHeader(false);
}

// An unclosed writer's temporary file goes with file_.
WAVWriter::~WAVWriter() = default;

void WAVWriter::fail(const AtomicWriteError& error) {
    file_.reset();
    throw WriteError("Could not write " + destination_.filename().string() + ": " + error.code().message());
}

void WAVWriter::flush() {
    try {
        file_->write(std::string_view(reinterpret_cast<const char*>(buffer_.data()), buffer_.size()));
    } catch (const AtomicWriteError& error) {
        fail(error);
    }
    buffer_.clear();
}

std::uint64_t WAVWriter::dataBytes() const {
    return static_cast<std::uint64_t>(frames_) * static_cast<std::uint64_t>(channels_ * bytesPerSample_);
}

void WAVWriter::writeHeader(bool rf64) {
    std::array<std::uint8_t, kRF64Header> h{};
    const std::size_t size = rf64 ? kRF64Header : kPlainHeader;
    const std::uint64_t data = dataBytes();
    // A chunk of odd length is followed by one pad byte, counted in the RIFF size only.
    const std::uint64_t riffSize = size - 8 + data + data % 2;
    const std::uint32_t blockAlign = static_cast<std::uint32_t>(channels_ * bytesPerSample_);
    std::memcpy(h.data(), rf64 ? "RF64" : "RIFF", 4);
    putU32(h.data() + 4, rf64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(riffSize));
    std::memcpy(h.data() + 8, "WAVE", 4);
    std::uint8_t* p = h.data() + 12;
    if (rf64) {
        std::memcpy(p, "ds64", 4);
        putU32(p + 4, 28);
        putU64(p + 8, riffSize);
        putU64(p + 16, data);
        putU64(p + 24, static_cast<std::uint64_t>(frames_));
        putU32(p + 32, 0);  // no table of other chunk sizes
        p += 36;
    }
    std::memcpy(p, "fmt ", 4);
    putU32(p + 4, 16);
    putU16(p + 8, 1);  // integer PCM
    putU16(p + 10, static_cast<std::uint32_t>(channels_));
    putU32(p + 12, sampleRate_);
    putU32(p + 16, sampleRate_ * blockAlign);
    putU16(p + 20, blockAlign);
    putU16(p + 22, static_cast<std::uint32_t>(bytesPerSample_ * 8));
    p += 24;
    std::memcpy(p, "data", 4);
    putU32(p + 4, rf64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(data));
    buffer_.insert(buffer_.end(), h.begin(), h.begin() + static_cast<std::ptrdiff_t>(size));
    flush();
}

// Moves everything after the plain header `by` bytes further, from the end backwards so nothing is
// overwritten before it was copied.
void WAVWriter::moveSamplesUp(std::uint64_t by, std::stop_token stop) {
    const int fd = file_->fd();
    const auto ioError = [this] { fail(AtomicWriteError(destination_, {errno, std::generic_category()})); };
    std::vector<char> block(kMoveBytes);
    std::uint64_t end = kPlainHeader + dataBytes() + dataBytes() % 2;
    while (end > kPlainHeader) {
        if (stop.stop_requested()) {
            file_.reset();
            throw OperationCancelled();
        }
        const std::uint64_t begin = std::max<std::uint64_t>(kPlainHeader, end > block.size() ? end - block.size() : 0);
        const auto length = static_cast<std::size_t>(end - begin);
        for (std::size_t done = 0; done < length;) {
            const ssize_t n = ::pread(fd, block.data() + done, length - done, static_cast<off_t>(begin + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) errno = EIO;
                ioError();
            }
            done += static_cast<std::size_t>(n);
        }
        for (std::size_t done = 0; done < length;) {
            const ssize_t n = ::pwrite(fd, block.data() + done, length - done, static_cast<off_t>(begin + by + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) errno = EIO;
                ioError();
            }
            done += static_cast<std::size_t>(n);
        }
        end = begin;
    }
}

void WAVWriter::encode(const float* samples, std::size_t count, int bytesPerSample, std::uint8_t* out) {
    if (bytesPerSample == 2) {
        for (std::size_t i = 0; i < count; ++i, out += 2) {
            putU16(out, static_cast<std::uint32_t>(quantise(samples[i], 32768.0)) & 0xFFFFu);
        }
    } else {
        for (std::size_t i = 0; i < count; ++i, out += 3) {
            const auto v = static_cast<std::uint32_t>(quantise(samples[i], 8388608.0));
            out[0] = static_cast<std::uint8_t>(v & 0xFF);
            out[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
            out[2] = static_cast<std::uint8_t>((v >> 16) & 0xFF);
        }
    }
}

void WAVWriter::write(const float* samples, std::int64_t frames) {
    if (frames < 1 || samples == nullptr) return;
    if (!file_) throw WriteError("Could not write " + destination_.filename().string() + ": already closed");
    const std::size_t count = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_);
    const std::size_t start = buffer_.size();
    buffer_.resize(start + count * static_cast<std::size_t>(bytesPerSample_));
    encode(samples, count, bytesPerSample_, buffer_.data() + start);
    frames_ += frames;
    if (buffer_.size() >= kFlushBytes) flush();
}

void WAVWriter::close(std::stop_token stop) {
    if (!file_) return;
    if (dataBytes() % 2 != 0) buffer_.push_back(0);
    if (!buffer_.empty()) flush();
    const std::uint64_t riffSize = kPlainHeader - 8 + dataBytes() + dataBytes() % 2;
    const bool rf64 = riffSize > riffLimit_;
    if (rf64) moveSamplesUp(kRF64Header - kPlainHeader, stop);
    if (::lseek(file_->fd(), 0, SEEK_SET) != 0) fail(AtomicWriteError(destination_, {errno, std::generic_category()}));
    writeHeader(rf64);
    try {
        file_->commit();
    } catch (const AtomicWriteError& error) {
        fail(error);
    }
    file_.reset();
}

}  // namespace morvale
