#include "av_engine/speech_segmenter.h"

#include <algorithm>
#include <cmath>

namespace morvale {

namespace {

constexpr std::size_t kPauseFrames = 15;        // 0.3 s
constexpr std::size_t kMinSegmentFrames = 50;   // 1 s before a pause may end a segment
constexpr std::size_t kSpeechFrames = 5;        // 0.1 s above the pause level makes a segment worth decoding
constexpr double kPauseBelowPeakDB = 35.0;
constexpr double kPauseFloorDB = -60.0;         // below this is a pause whatever the speech level
constexpr double kPeakDecayDBPerFrame = 0.01;   // 0.5 dB a second

std::int16_t toInt16(float x) {
    const float v = std::clamp(x, -1.0f, 1.0f) * 32767.0f;
    return static_cast<std::int16_t>(std::lround(v == v ? v : 0.0f));
}

}  // namespace

SpeechSegmenter::SpeechSegmenter(double maxSeconds)
    : maxFrames_(static_cast<std::size_t>(std::max(2.0, std::isfinite(maxSeconds) ? maxSeconds : 30.0) * sampleRate /
                                          frameSamples)) {}

void SpeechSegmenter::push(std::span<const float> samples, const Emit& emit) {
    for (float x : samples) {
        samples_.push_back(toInt16(x));
        frameEnergy_ += static_cast<double>(x) * x;
        if (++frameFill_ == frameSamples) endFrame(emit);
    }
}

void SpeechSegmenter::endFrame(const Emit& emit) {
    const double level = 10.0 * std::log10(std::max(1e-12, frameEnergy_ / frameSamples));
    frameEnergy_ = 0.0;
    frameFill_ = 0;
    reference_ = std::max(level, reference_ - kPeakDecayDBPerFrame);
    const bool quiet = level < std::max(kPauseFloorDB, reference_ - kPauseBelowPeakDB);
    levels_.push_back(static_cast<float>(level));
    quiet_.push_back(quiet);

    if (quiet) {
        ++quietRun_;
    } else {
        // A pause just ended: cut in its middle when the segment before it is long enough.
        if (quietRun_ >= kPauseFrames) {
            const std::size_t runStart = levels_.size() - 1 - quietRun_;
            const std::size_t middle = runStart + quietRun_ / 2;
            if (middle >= kMinSegmentFrames) {
                quietRun_ = 0;
                cutAt(middle, emit);
                return;
            }
        }
        quietRun_ = 0;
    }
    if (levels_.size() >= maxFrames_) {
        // Forced: the quietest 100 ms in the second half, so a word is rarely split.
        std::size_t best = levels_.size() - 1;
        double bestLevel = 1e300;
        for (std::size_t k = levels_.size() / 2; k + 5 <= levels_.size(); ++k) {
            double sum = 0.0;
            for (std::size_t j = k; j < k + 5; ++j) sum += std::pow(10.0, levels_[j] / 10.0);
            if (sum < bestLevel) {
                bestLevel = sum;
                best = k + 2;
            }
        }
        quietRun_ = std::min(quietRun_, levels_.size() - best);
        cutAt(best, emit);
    }
}

void SpeechSegmenter::cutAt(std::size_t frame, const Emit& emit) {
    Segment segment;
    segment.firstSample = segmentStart_;
    const std::size_t sampleCount = frame * frameSamples;
    segment.samples.assign(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(sampleCount));
    segment.hasSpeech =
        static_cast<std::size_t>(std::count(quiet_.begin(), quiet_.begin() + static_cast<std::ptrdiff_t>(frame), false)) >=
        kSpeechFrames;
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(sampleCount));
    levels_.erase(levels_.begin(), levels_.begin() + static_cast<std::ptrdiff_t>(frame));
    quiet_.erase(quiet_.begin(), quiet_.begin() + static_cast<std::ptrdiff_t>(frame));
    segmentStart_ += static_cast<std::int64_t>(sampleCount);
    emit(std::move(segment));
}

void SpeechSegmenter::finish(const Emit& emit) {
    if (samples_.empty()) return;
    Segment segment;
    segment.firstSample = segmentStart_;
    segment.hasSpeech = static_cast<std::size_t>(std::count(quiet_.begin(), quiet_.end(), false)) >= kSpeechFrames;
    segment.samples = std::move(samples_);
    samples_.clear();
    levels_.clear();
    quiet_.clear();
    quietRun_ = 0;
    frameFill_ = 0;
    frameEnergy_ = 0.0;
    segmentStart_ += static_cast<std::int64_t>(segment.samples.size());
    emit(std::move(segment));
}

}  // namespace morvale
