#include "audio_fixtures.h"

#include "av_engine/look_ahead_limiter.h"
#include "av_engine/loudness_meter.h"

#include <gtest/gtest.h>

#include <cmath>

namespace morvale {
namespace {

using test::Audio;

std::vector<float> limit(const Audio& audio, double ceilingDB, double* reduction = nullptr) {
    LookaheadLimiter limiter(audio.channels, audio.sampleRate, ceilingDB);
    std::vector<float> out;
    for (std::int64_t f = 0; f < audio.frames(); ++f) limiter.step(audio.samples, f, out);
    limiter.flush(out);
    if (reduction) *reduction = limiter.maxReductionDB();
    return out;
}

double truePeakOf(const std::vector<float>& samples, double rate, int channels) {
    LoudnessMeter meter(rate, channels);
    meter.process(samples, static_cast<std::int64_t>(samples.size()) / channels);
    return meter.truePeakDBTP();
}

TEST(LookaheadLimiter, LookaheadIsFiveMillisecondsAndAtLeastTwoFrames) {
    EXPECT_EQ(LookaheadLimiter(2, 44100.0, -1.0).lookahead(), 220);
    EXPECT_EQ(LookaheadLimiter(2, 48000.0, -1.0).lookahead(), 240);
    EXPECT_EQ(LookaheadLimiter(1, 8000.0, -1.0).lookahead(), 40);
    EXPECT_EQ(LookaheadLimiter(1, 500.0, -1.0).lookahead(), 2);
}

TEST(LookaheadLimiter, QuietSignalPassesUnchangedOnlyDelayed) {
    const Audio audio = test::sine(48000.0, 2, 3000.0, 0.5, 0.5);
    LookaheadLimiter limiter(2, 48000.0, -1.0);
    std::vector<float> out;
    for (std::int64_t f = 0; f < audio.frames(); ++f) {
        limiter.step(audio.samples, f, out);
        ASSERT_EQ(static_cast<std::int64_t>(out.size()) / 2, std::max<std::int64_t>(0, f + 1 - limiter.delayFrames()));
    }
    limiter.flush(out);
    EXPECT_EQ(limiter.maxReductionDB(), 0.0);
    EXPECT_EQ(out, audio.samples);
}

TEST(LookaheadLimiter, FullScaleClickIsHeldUnderTheCeilingWithoutSteps) {
    const double ceilingDB = -1.7;
    const auto ceiling = static_cast<float>(std::pow(10.0, ceilingDB / 20.0));
    Audio audio = test::sine(48000.0, 1, 440.0, 0.3, 1.0);
    const std::size_t click = 24000;
    audio.samples[click] = 1.0f;
    double reduction = 0.0;
    const std::vector<float> out = limit(audio, ceilingDB, &reduction);
    ASSERT_EQ(out.size(), audio.samples.size());
    const std::size_t clickOut = click;
    float loudest = 0.0f;
    for (float s : out) loudest = std::max(loudest, std::fabs(s));
    EXPECT_LE(loudest, ceiling * 1.0001f);
    EXPECT_LE(truePeakOf(out, 48000.0, 1), ceilingDB + 0.05);
    EXPECT_LT(reduction, -1.0);
    // The gain falls before the click (look-ahead) and is back near unity 400 ms later.
    const auto gainAt = [&](std::size_t outIndex) {
        const float in = audio.samples[outIndex];
        return std::fabs(in) > 0.05f ? out[outIndex] / in : 1.0f;
    };
    float before = 1.0f;
    for (std::size_t i = clickOut - 200; i < clickOut - 100; ++i) before = std::min(before, gainAt(i));
    EXPECT_LT(before, 0.99f);
    float after = 0.0f;
    for (std::size_t i = clickOut + 19200; i < clickOut + 19300; ++i) after = std::max(after, gainAt(i));
    EXPECT_GT(after, 0.99f);
}

TEST(LookaheadLimiter, HoldsLoudHighFrequencyMaterialUnderTheCeilingByReference) {
    for (double rate : {44100.0, 48000.0}) {
        Audio audio = test::sine(rate, 2, 11000.0, 1.0, 1.0, 0.7);
        audio.append(test::sine(rate, 2, 3000.0, 2.0, 1.0, 0.2));
        const std::vector<float> out = limit(audio, -1.7);
        const test::ReferenceReading reference = test::referenceLoudness(Audio{rate, 2, out});
        EXPECT_LE(reference.truePeakDB, -1.7 + 0.05) << rate;
        EXPECT_GT(reference.truePeakDB, -3.0) << rate;
    }
}

}  // namespace
}  // namespace morvale
