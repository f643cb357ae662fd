// The file edits of LoudnessNormalizer: cut, join, excerpt and the two analysis curves.
#include "av_engine/loudness_normalizer.h"

#include "av_engine/pcm_stream.h"
#include "av_engine/wav_writer.h"
#include "base/cancellation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace morvale {

namespace {

// Frame numbers stay far below the int64 limit whatever time a caller passes.
constexpr double kMaxFrame = 9.0e18;

std::int64_t framesAt(double seconds, double sampleRate) {
    return static_cast<std::int64_t>(std::clamp(std::trunc(seconds * sampleRate), 0.0, kMaxFrame));
}

std::int64_t fadeFrames(double sampleRate, double seconds) {
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::trunc(sampleRate * seconds)));
}

// Sorted, disjoint frame ranges from whatever the caller passed.
std::vector<FrameRange> frameRanges(const std::vector<TimeRange>& ranges, double sampleRate) {
    std::vector<FrameRange> frames;
    for (const TimeRange& r : ranges) {
        if (!std::isfinite(r.lower) || !std::isfinite(r.upper) || !(r.lower < r.upper)) continue;
        const FrameRange f{framesAt(r.lower, sampleRate), framesAt(r.upper, sampleRate)};
        if (f.start < f.end) frames.push_back(f);
    }
    std::sort(frames.begin(), frames.end(), [](const FrameRange& a, const FrameRange& b) { return a.start < b.start; });
    std::vector<FrameRange> merged;
    for (const FrameRange& f : frames) {
        if (!merged.empty() && f.start <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, f.end);
        } else {
            merged.push_back(f);
        }
    }
    return merged;
}

// Writes one piece faded in at its start and out at its end, where the end is the last frame actually
// delivered: the last `fade` frames are held back until the piece is known to be over.
class FadedPiece {
public:
    // Frame j of the piece gets min(1, (j + inOffset) / fade) at the start and min(1, (n - j) / fade) at the end.
    FadedPiece(WAVWriter& writer, std::int64_t fade, int inOffset)
        : writer_(writer), channels_(static_cast<std::size_t>(writer.channels())), fade_(fade), inOffset_(inOffset) {}

    void push(const float* samples, std::int64_t frames) {
        held_.insert(held_.end(), samples, samples + static_cast<std::size_t>(frames) * channels_);
        const std::int64_t heldFrames = static_cast<std::int64_t>(held_.size() / channels_);
        if (heldFrames <= fade_) return;
        emit(heldFrames - fade_, std::numeric_limits<std::int64_t>::max());
    }

    // Writes the held tail with the fade-out; `next` frame numbering starts again at 0 afterwards.
    void finish() {
        const std::int64_t heldFrames = static_cast<std::int64_t>(held_.size() / channels_);
        emit(heldFrames, written_ + heldFrames);
        written_ = 0;
    }

private:
    void emit(std::int64_t frames, std::int64_t total) {
        out_.resize(static_cast<std::size_t>(frames) * channels_);
        const double fade = static_cast<double>(fade_);
        for (std::int64_t f = 0; f < frames; ++f) {
            const std::int64_t j = written_ + f;
            double g = 1.0;
            if (j + inOffset_ < fade_) g = static_cast<double>(j + inOffset_) / fade;
            if (total - j < fade_) g = std::min(g, static_cast<double>(total - j) / fade);
            const auto gain = static_cast<float>(g);
            const std::size_t base = static_cast<std::size_t>(f) * channels_;
            for (std::size_t c = 0; c < channels_; ++c) out_[base + c] = held_[base + c] * gain;
        }
        writer_.write(out_.data(), frames);
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(frames) * channels_));
        written_ += frames;
    }

    WAVWriter& writer_;
    std::size_t channels_;
    std::int64_t fade_;
    int inOffset_;
    std::int64_t written_ = 0;
    std::vector<float> held_;
    std::vector<float> out_;
};

}  // namespace

void LoudnessNormalizer::cut(const std::filesystem::path& source, const std::filesystem::path& destination,
                             const std::vector<TimeRange>& removing, const LogCallback& log, std::stop_token stop) const {
    throwIfStopRequested(stop);
    const PCMStream::Format format = PCMStream::format(source, log, stop);
    const double fs = format.sampleRate;
    const auto channels = static_cast<std::size_t>(format.channels);
    const std::vector<FrameRange> ranges = frameRanges(removing, fs);
    const std::int64_t fade = fadeFrames(fs, 0.006);
    CutRenderer renderer(ranges, fade);

    WAVWriter writer(destination, fs, format.channels, 24);
    std::vector<float> kept;
    std::int64_t frame = 0;
    std::size_t next = 0;  // first range not yet passed, to copy the long stretches between cuts untouched
    PCMStream::read(source, std::nullopt, std::nullopt, std::nullopt,
                    [&](std::span<const float> samples, std::int64_t frames) {
                        throwIfStopRequested(stop);
                        kept.clear();
                        for (std::int64_t f = 0; f < frames;) {
                            const std::int64_t at = frame + f;
                            while (next < ranges.size() && ranges[next].end + fade <= at) ++next;
                            // Frames more than a fade away from every cut keep gain 1: copy them in one go.
                            const std::int64_t quietUntil =
                                next < ranges.size() ? ranges[next].start - fade : std::numeric_limits<std::int64_t>::max();
                            if (at < quietUntil) {
                                const std::int64_t run = std::min(frames - f, quietUntil - at);
                                const float* from = samples.data() + static_cast<std::size_t>(f) * channels;
                                kept.insert(kept.end(), from, from + static_cast<std::size_t>(run) * channels);
                                f += run;
                                continue;
                            }
                            if (const std::optional<float> gain = renderer.gain(at)) {
                                for (std::size_t c = 0; c < channels; ++c) {
                                    kept.push_back(samples[static_cast<std::size_t>(f) * channels + c] * *gain);
                                }
                            }
                            ++f;
                        }
                        frame += frames;
                        writer.write(kept.data(), static_cast<std::int64_t>(kept.size() / channels));
                    },
                    log, stop);
    throwIfStopRequested(stop);
    writer.close();
}

void LoudnessNormalizer::concatenate(const std::vector<std::filesystem::path>& sources,
                                     const std::filesystem::path& destination, double sampleRate, int channels,
                                     const LogCallback& log, std::stop_token stop) const {
    throwIfStopRequested(stop);
    WAVWriter writer(destination, sampleRate, channels, 24);
    FadedPiece piece(writer, fadeFrames(sampleRate, 0.015), 0);
    for (const std::filesystem::path& source : sources) {
        PCMStream::read(source, sampleRate, channels, std::nullopt,
                        [&](std::span<const float> samples, std::int64_t frames) {
                            throwIfStopRequested(stop);
                            piece.push(samples.data(), frames);
                        },
                        log, stop);
        piece.finish();
    }
    throwIfStopRequested(stop);
    writer.close();
}

void LoudnessNormalizer::excerpt(const std::filesystem::path& source, const std::filesystem::path& destination,
                                 double start, double length, const LogCallback& log, std::stop_token stop) const {
    throwIfStopRequested(stop);
    const PCMStream::Format format = PCMStream::format(source, log, stop);
    const double fs = format.sampleRate;
    const auto channels = static_cast<std::size_t>(format.channels);
    WAVWriter writer(destination, fs, format.channels, 24);
    const bool usable = std::isfinite(start) && std::isfinite(length) && start >= 0.0 && length > 0.0;
    const std::int64_t s = usable ? framesAt(start, fs) : 0;
    const std::int64_t e = usable ? framesAt(start + length, fs) : 0;
    if (s < e) {
        FadedPiece piece(writer, fadeFrames(fs, 0.02), 1);
        std::int64_t frame = 0;
        PCMStream::read(source, std::nullopt, std::nullopt, start + length + 0.1,
                        [&](std::span<const float> samples, std::int64_t frames) {
                            throwIfStopRequested(stop);
                            const std::int64_t from = std::clamp(s - frame, std::int64_t{0}, frames);
                            const std::int64_t to = std::clamp(e - frame, std::int64_t{0}, frames);
                            if (from < to) piece.push(samples.data() + static_cast<std::size_t>(from) * channels, to - from);
                            frame += frames;
                        },
                        log, stop);
        piece.finish();
    }
    throwIfStopRequested(stop);
    writer.close();
}

std::vector<float> LoudnessNormalizer::levels(const std::filesystem::path& file, double step, const LogCallback& log,
                                              std::stop_token stop) const {
    std::vector<float> out;
    if (!std::isfinite(step) || !(step * 8000.0 >= 1.0) || step * 8000.0 > kMaxFrame) return out;
    const auto window = static_cast<std::int64_t>(std::trunc(step * 8000.0));
    double sum = 0.0;
    std::int64_t count = 0;
    PCMStream::read(file, 8000.0, 1, std::nullopt,
                    [&](std::span<const float> samples, std::int64_t) {
                        throwIfStopRequested(stop);
                        for (float x : samples) {
                            sum += static_cast<double>(x) * x;
                            if (++count == window) {
                                out.push_back(static_cast<float>(std::sqrt(sum / static_cast<double>(window))));
                                sum = 0.0;
                                count = 0;
                            }
                        }
                    },
                    log, stop);
    return out;
}

std::vector<FillerRemover::SpeechFrame> LoudnessNormalizer::speechFrames(const std::filesystem::path& file,
                                                                         const LogCallback& log, std::stop_token stop) const {
    constexpr int kFrame = 320;
    std::vector<FillerRemover::SpeechFrame> out;
    float previous = 0.0f;
    float energy = 0.0f;
    float difference = 0.0f;
    int count = 0;
    PCMStream::read(file, 16000.0, 1, std::nullopt,
                    [&](std::span<const float> samples, std::int64_t) {
                        throwIfStopRequested(stop);
                        for (float x : samples) {
                            energy += x * x;
                            difference += (x - previous) * (x - previous);
                            previous = x;
                            if (++count == kFrame) {
                                out.push_back({10.0f * std::log10(std::max(1e-10f, energy / kFrame)),
                                               10.0f * std::log10(std::max(1e-10f, difference) / std::max(1e-10f, energy))});
                                energy = difference = 0.0f;
                                count = 0;
                            }
                        }
                    },
                    log, stop);
    return out;
}

}  // namespace morvale
