#include "av_engine/export_memory.h"

#include "av_engine/audio_container_check.h"
#include "av_engine/pcm_stream.h"
#include "base/cancellation.h"
#include "base/system_limits.h"

#include <algorithm>
#include <cmath>

namespace morvale {

namespace {

constexpr std::uint64_t kMB = std::uint64_t{1} << 20;

// A duration, rate or count from a header, as a whole number that cannot overflow the sums below.
std::uint64_t bounded(double value, double most) {
    return std::isfinite(value) && value > 0 ? static_cast<std::uint64_t>(std::min(value, most)) : 0;
}

}  // namespace

std::uint64_t ExportMemory::decoding(const std::filesystem::path& file, std::stop_token stop) {
    const std::uint64_t fixed = 48 * kMB + 8 * AudioContainerCheck::maxMetadataBytes;
    PCMStream::Format format;
    try {
        format = PCMStream::format(file, {}, std::move(stop));
    } catch (const OperationCancelled&) {
        throw;
    } catch (const std::exception&) {
        return fixed;
    }
    const std::uint64_t rate = bounded(format.sampleRate, AudioContainerCheck::maxSampleRate);
    const std::uint64_t channels = bounded(format.channels, AudioContainerCheck::maxChannels);
    // Ten years: past that the figure is absurd anyway, and the budget refuses it.
    const std::uint64_t seconds = bounded(std::ceil(format.durationSeconds), 3.2e8);
    return fixed + rate * 60 * sizeof(float) + rate * channels * sizeof(float) + seconds * 1024;
}

double ExportMemory::seconds(const std::filesystem::path& file, std::stop_token stop) {
    try {
        return PCMStream::format(file, {}, std::move(stop)).durationSeconds;
    } catch (const OperationCancelled&) {
        throw;
    } catch (const std::exception&) {
        return 0.0;
    }
}

std::uint64_t ExportMemory::audiogram(AudiogramGenerator::AspectRatio aspect, double seconds) {
    const auto [width, height] = AudiogramGenerator::dimensions(aspect);
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    const std::uint64_t threads = (static_cast<std::uint64_t>(allowedProcessorCount()) * 3 + 1) / 2;
    return pixels * (24 + 16 * threads) + 48 * kMB + bounded(std::ceil(seconds), 3.2e8) * 32 * 1024;
}

}  // namespace morvale
