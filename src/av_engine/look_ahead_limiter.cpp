#include "av_engine/look_ahead_limiter.h"

#include <algorithm>
#include <cmath>

namespace morvale {

namespace {

int lookaheadFrames(double sampleRate) {
    const double frames = std::floor(sampleRate * 5.0 / 1000.0);
    if (!std::isfinite(frames) || frames < 2.0) return 2;
    return static_cast<int>(std::min(frames, 1.0e6));
}

}  // namespace

LookaheadLimiter::LookaheadLimiter(int channels, double sampleRate, double ceilingDB)
    : channels_(std::max(1, channels)),
      lookahead_(lookaheadFrames(sampleRate)),
      delay_(lookahead_ + TruePeakDetector::kLatencyFrames),
      ceiling_(static_cast<float>(std::pow(10.0, ceilingDB / 20.0))),
      release_(static_cast<float>(std::exp(-1.0 / std::max(1.0, sampleRate * 80.0 / 1000.0)))),
      detector_(channels_),
      delayLine_(static_cast<std::size_t>(channels_) * static_cast<std::size_t>(delay_), 0.0f),
      avgRing_(static_cast<std::size_t>(lookahead_), 1.0f),
      avgSum_(static_cast<double>(lookahead_)),
      pendingSkip_(delay_),
      silence_(static_cast<std::size_t>(channels_), 0.0f) {}

void LookaheadLimiter::step(std::span<const float> chunk, std::int64_t frame, std::vector<float>& out) {
    stepFrame(chunk.data() + frame * channels_, out);
}

void LookaheadLimiter::flush(std::vector<float>& out) {
    for (int i = 0; i < delay_; ++i) stepFrame(silence_.data(), out);
}

void LookaheadLimiter::stepFrame(const float* frame, std::vector<float>& out) {
    const float peak = detector_.process(frame, ceiling_);
    const float target = peak > ceiling_ ? ceiling_ / peak : 1.0f;

    while (dequeHead_ < dequeValue_.size() && dequeValue_.back() >= target) {
        dequeValue_.pop_back();
        dequeIndex_.pop_back();
    }
    dequeValue_.push_back(target);
    dequeIndex_.push_back(frameIndex_);
    const std::int64_t oldest = frameIndex_ - 2 * static_cast<std::int64_t>(lookahead_);
    while (dequeHead_ < dequeIndex_.size() && dequeIndex_[dequeHead_] <= oldest) ++dequeHead_;
    if (dequeHead_ > 4096) {
        const auto head = static_cast<std::ptrdiff_t>(dequeHead_);
        dequeValue_.erase(dequeValue_.begin(), dequeValue_.begin() + head);
        dequeIndex_.erase(dequeIndex_.begin(), dequeIndex_.begin() + head);
        dequeHead_ = 0;
    }
    const float windowMin = dequeValue_[dequeHead_];

    const auto slot = static_cast<std::size_t>(avgPos_);
    avgSum_ += static_cast<double>(windowMin) - static_cast<double>(avgRing_[slot]);
    avgRing_[slot] = windowMin;
    avgPos_ = (avgPos_ + 1) % lookahead_;
    const auto average = static_cast<float>(avgSum_ / lookahead_);

    if (env_ > average) {
        env_ = average;
    } else {
        env_ = average + (env_ - average) * release_;
    }
    lowestGain_ = std::min(lowestGain_, env_);

    const auto ch = static_cast<std::size_t>(channels_);
    float* stored = delayLine_.data() + static_cast<std::size_t>(delayPos_) * ch;
    if (pendingSkip_ > 0) {
        --pendingSkip_;
    } else {
        for (std::size_t c = 0; c < ch; ++c) out.push_back(stored[c] * env_);
    }
    for (std::size_t c = 0; c < ch; ++c) stored[c] = frame[c];
    delayPos_ = (delayPos_ + 1) % delay_;
    ++frameIndex_;
}

}  // namespace morvale
