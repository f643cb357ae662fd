#include "av_engine/wav_writer.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>

namespace morvale {

namespace {

// RIFF header, a 28-byte JUNK chunk that becomes ds64 when the file outgrows 32-bit sizes, fmt, data.
constexpr std::size_t kHeaderSize = 12 + 36 + 24 + 8;
constexpr std::uint64_t kMaxRiffSize = 0xFFFFFFFFull;

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

std::filesystem::path temporaryBeside(const std::filesystem::path& destination) {
    std::random_device device;
    std::array<char, 16> suffix{};
    std::snprintf(suffix.data(), suffix.size(), "%08x", device());
    std::filesystem::path name = "." + destination.filename().string() + "." + suffix.data() + ".tmp";
    return destination.parent_path() / name;
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
    temporary_ = temporaryBeside(destination);
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (file_ == nullptr) {
        throw WriteError("Could not create " + destination.filename().string() + ": " + std::strerror(errno));
    }
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    writeHeader(false);
}

WAVWriter::~WAVWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
    }
}

void WAVWriter::failWith(const std::string& what) {
    const std::string reason = std::strerror(errno);
    std::fclose(file_);
    file_ = nullptr;
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
    throw WriteError(what + " " + destination_.filename().string() + ": " + reason);
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
    if (std::fwrite(h.data(), 1, h.size(), file_) != h.size()) failWith("Could not write");
}

void WAVWriter::write(const float* samples, std::int64_t frames) {
    if (frames < 1 || samples == nullptr) return;
    if (file_ == nullptr) throw WriteError("Could not write " + destination_.filename().string() + ": already closed");
    const std::size_t count = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_);
    buffer_.resize(count * static_cast<std::size_t>(bytesPerSample_));
    std::uint8_t* out = buffer_.data();
    if (bytesPerSample_ == 2) {
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
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) failWith("Could not write");
    frames_ += frames;
}

void WAVWriter::close() {
    if (file_ == nullptr) return;
    const std::uint64_t dataBytes =
        static_cast<std::uint64_t>(frames_) * static_cast<std::uint64_t>(channels_ * bytesPerSample_);
    const bool rf64 = dataBytes + kHeaderSize - 8 > kMaxRiffSize;
    if (std::fseek(file_, 0, SEEK_SET) != 0) failWith("Could not write");
    writeHeader(rf64);
    if (std::fflush(file_) != 0) failWith("Could not write");
    if (std::fclose(file_) != 0) {
        file_ = nullptr;
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
        throw WriteError("Could not write " + destination_.filename().string() + ": " + std::strerror(errno));
    }
    file_ = nullptr;
    std::error_code renamed;
    std::filesystem::rename(temporary_, destination_, renamed);
    if (renamed) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
        throw WriteError("Could not write " + destination_.filename().string() + ": " + renamed.message());
    }
}

}  // namespace morvale
