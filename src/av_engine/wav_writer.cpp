#include "av_engine/wav_writer.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace morvale {

namespace {

// RIFF header, a 28-byte JUNK chunk that becomes ds64 when the file outgrows 32-bit sizes, fmt, data.
constexpr std::size_t kHeaderSize = 12 + 36 + 24 + 8;
constexpr std::uint64_t kMaxRiffSize = 0xFFFFFFFFull;
// Samples are handed to the file in runs of about this many bytes.
constexpr std::size_t kFlushBytes = 1 << 20;

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

WAVWriter::WAVWriter(const std::filesystem::path& destination, double sampleRate, int channels, int bitDepth)
    : destination_(destination), channels_(channels), bytesPerSample_(bitDepth / 8) {
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

void WAVWriter::writeHeader(bool rf64) {
    std::array<std::uint8_t, kHeaderSize> h{};
    const std::uint64_t dataBytes =
        static_cast<std::uint64_t>(frames_) * static_cast<std::uint64_t>(channels_ * bytesPerSample_);
    const std::uint64_t riffSize = dataBytes + kHeaderSize - 8;
    const std::uint32_t blockAlign = static_cast<std::uint32_t>(channels_ * bytesPerSample_);
    std::memcpy(h.data(), rf64 ? "RF64" : "RIFF", 4);
    putU32(h.data() + 4, rf64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(riffSize));
    std::memcpy(h.data() + 8, "WAVE", 4);
    std::uint8_t* ds = h.data() + 12;
    std::memcpy(ds, rf64 ? "ds64" : "JUNK", 4);
    putU32(ds + 4, 28);
    if (rf64) {
        putU64(ds + 8, riffSize);
        putU64(ds + 16, dataBytes);
        putU64(ds + 24, static_cast<std::uint64_t>(frames_));
        putU32(ds + 32, 0);
    }
    std::uint8_t* fmt = h.data() + 48;
    std::memcpy(fmt, "fmt ", 4);
    putU32(fmt + 4, 16);
    putU16(fmt + 8, 1);  // integer PCM
    putU16(fmt + 10, static_cast<std::uint32_t>(channels_));
    putU32(fmt + 12, sampleRate_);
    putU32(fmt + 16, sampleRate_ * blockAlign);
    putU16(fmt + 20, blockAlign);
    putU16(fmt + 22, static_cast<std::uint32_t>(bytesPerSample_ * 8));
    std::uint8_t* data = h.data() + 72;
    std::memcpy(data, "data", 4);
    putU32(data + 4, rf64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(dataBytes));
    buffer_.insert(buffer_.end(), h.begin(), h.end());
    flush();
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

void WAVWriter::close() {
    if (!file_) return;
    if (!buffer_.empty()) flush();
    const std::uint64_t dataBytes =
        static_cast<std::uint64_t>(frames_) * static_cast<std::uint64_t>(channels_ * bytesPerSample_);
    const bool rf64 = dataBytes + kHeaderSize - 8 > kMaxRiffSize;
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
