#include "audio_fixtures.h"
#include "support/temp_dir.h"

#include "av_engine/loudness_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace morvale {
namespace {

using test::Audio;

struct Reading {
    std::optional<double> integrated;
    double truePeak;
};

Reading measureInChunks(const Audio& audio, std::int64_t chunkFrames = 1000) {
    LoudnessMeter meter(audio.sampleRate, audio.channels);
    const auto ch = static_cast<std::size_t>(audio.channels);
    for (std::int64_t start = 0; start < audio.frames(); start += chunkFrames) {
        const std::int64_t frames = std::min(chunkFrames, audio.frames() - start);
        meter.process(std::span<const float>(audio.samples).subspan(static_cast<std::size_t>(start) * ch,
                                                                     static_cast<std::size_t>(frames) * ch),
                      frames);
    }
    return {meter.integratedLUFS(), meter.truePeakDBTP()};
}

TEST(LoudnessMeter, KWeightingMatchesPublishedCoefficientsAt48k) {
    const KWeighting k(48000.0);
    EXPECT_NEAR(k.s1.b0, 1.5351248595869702, 1e-12);
    EXPECT_NEAR(k.s1.b1, -2.6916961894063807, 1e-12);
    EXPECT_NEAR(k.s1.b2, 1.19839281085285, 1e-12);
    EXPECT_NEAR(k.s1.a1, -1.6906592931824103, 1e-12);
    EXPECT_NEAR(k.s1.a2, 0.7324807742158501, 1e-12);
    EXPECT_NEAR(k.s2.a1, -1.9900474548339797, 1e-12);
    EXPECT_NEAR(k.s2.a2, 0.9900722503662099, 1e-12);
}

// EBU Tech 3341 minimum requirements, cases 1 to 5: stereo 1 kHz tones at the listed levels.
TEST(LoudnessMeter, ReadsEbuTech3341Cases) {
    struct Case {
        const char* name;
        std::vector<std::pair<double, double>> segments;  // dBFS, seconds
        double expected;
    };
    const std::vector<Case> cases = {
        {"case 1", {{-23.0, 20.0}}, -23.0},
        {"case 2", {{-33.0, 20.0}}, -33.0},
        {"case 3", {{-36.0, 10.0}, {-23.0, 60.0}, {-36.0, 10.0}}, -23.0},
        {"case 4", {{-72.0, 10.0}, {-36.0, 10.0}, {-23.0, 60.0}, {-36.0, 10.0}, {-72.0, 10.0}}, -23.0},
        {"case 5", {{-26.0, 20.0}, {-20.0, 20.1}, {-26.0, 20.0}}, -23.0},
    };
    for (double rate : {48000.0, 44100.0}) {
        for (const Case& c : cases) {
            Audio audio{rate, 2, {}};
            for (const auto& [db, seconds] : c.segments) {
                audio.append(test::sine(rate, 2, 1000.0, test::dbToAmplitude(db), seconds));
            }
            const Reading reading = measureInChunks(audio, 4096);
            ASSERT_TRUE(reading.integrated.has_value()) << c.name << " at " << rate;
            EXPECT_NEAR(*reading.integrated, c.expected, 0.1) << c.name << " at " << rate;
        }
    }
}

TEST(LoudnessMeter, AgreesWithReferenceOnSinesAtEveryRate) {
    for (double rate : {8000.0, 44100.0, 48000.0, 192000.0}) {
        for (int channels : {1, 2}) {
            // A loud and a quiet passage, so both gates take part.
            Audio audio = test::sine(rate, channels, 1000.0, 0.3, 6.0);
            audio.append(test::sine(rate, channels, 440.0, 0.01, 4.0));
            audio.append(test::sine(rate, channels, 2500.0, 0.1, 3.0));
            const Reading ours = measureInChunks(audio, 777);
            const test::ReferenceReading reference = test::referenceLoudness(audio);
            ASSERT_TRUE(ours.integrated && reference.integratedLUFS);
            EXPECT_NEAR(*ours.integrated, *reference.integratedLUFS, 0.05) << rate << " Hz, " << channels << " ch";
        }
    }
}

TEST(LoudnessMeter, AgreesWithReferenceOnSpeechWithNoise) {
    test::TempDir dir;
    Audio speech = test::decode(test::makeSpeech(dir.path(), 20.0, 48000));
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.003f);
    Audio stereo{speech.sampleRate, 2, {}};
    for (float s : speech.samples) {
        stereo.samples.push_back(s * 0.8f + noise(random));
        stereo.samples.push_back(s * 0.6f + noise(random));
    }
    const Reading ours = measureInChunks(stereo, 1024);
    const test::ReferenceReading reference = test::referenceLoudness(stereo);
    ASSERT_TRUE(ours.integrated && reference.integratedLUFS);
    EXPECT_NEAR(*ours.integrated, *reference.integratedLUFS, 0.05);
}

TEST(LoudnessMeter, TruePeakOfHighFrequencyTonesTracksReference) {
    for (double rate : {48000.0, 44100.0}) {
        for (double frequency : {6000.0, 9000.0, 10000.0, 14000.0, 15000.0, 17500.0, 19000.0}) {
            for (double phase : {0.0, std::numbers::pi / 4.0, std::numbers::pi / 3.0, std::numbers::pi / 2.0, 2.0}) {
                Audio audio = test::sine(rate, 1, frequency, 0.5, 1.0, phase);
                test::fadeEdges(audio, 0.02);
                const Reading ours = measureInChunks(audio);
                const double reference = test::referenceLoudness(audio).truePeakDB;
                EXPECT_LE(ours.truePeak - reference, 0.2) << rate << " " << frequency << " " << phase;
                EXPECT_GE(ours.truePeak - reference, -0.4) << rate << " " << frequency << " " << phase;
            }
        }
    }
}

TEST(LoudnessMeter, TruePeakFindsInterSamplePeaks) {
    // Quarter-rate tones sampled off their crests: the samples sit up to 3 dB under the real peak. The
    // interpolator's passband ripple may read a little over it, never materially under.
    for (double rate : {48000.0, 44100.0}) {
        for (double phase : {std::numbers::pi / 4.0, std::numbers::pi / 3.0, 0.5, 2.0}) {
            Audio audio = test::sine(rate, 1, rate / 4.0, 0.5, 1.0, phase);
            test::fadeEdges(audio, 0.02);
            const double truth = 20.0 * std::log10(0.5);
            const Reading reading = measureInChunks(audio);
            EXPECT_GE(reading.truePeak, truth - 0.1) << rate << " " << phase;
            EXPECT_LE(reading.truePeak, truth + 0.3) << rate << " " << phase;
        }
    }
}

TEST(LoudnessMeter, NothingMeasurableGivesNoLoudness) {
    EXPECT_FALSE(measureInChunks(test::silence(48000.0, 2, 5.0)).integrated.has_value());
    EXPECT_DOUBLE_EQ(measureInChunks(test::silence(48000.0, 2, 5.0)).truePeak, -180.0);
    // Shorter than one 400 ms block.
    EXPECT_FALSE(measureInChunks(test::sine(48000.0, 2, 1000.0, 0.5, 0.39)).integrated.has_value());
    EXPECT_TRUE(measureInChunks(test::sine(48000.0, 2, 1000.0, 0.5, 0.41)).integrated.has_value());
    // Below the absolute gate.
    EXPECT_FALSE(measureInChunks(test::sine(48000.0, 1, 1000.0, test::dbToAmplitude(-75.0), 3.0)).integrated.has_value());
}

TEST(LoudnessMeter, ChannelsAddUnweighted) {
    const double oneChannel =
        *measureInChunks(test::sine(48000.0, 2, 997.0, 1.0, 5.0, 0.0, {0})).integrated;
    const double both = *measureInChunks(test::sine(48000.0, 2, 997.0, 1.0, 5.0)).integrated;
    EXPECT_NEAR(oneChannel, -3.01, 0.05);
    EXPECT_NEAR(both, 0.0, 0.05);
}

TEST(LoudnessMeter, ChunkingDoesNotChangeTheReading) {
    Audio audio = test::sine(44100.0, 2, 3000.0, 0.4, 3.0, 0.3);
    const Reading whole = measureInChunks(audio, audio.frames());
    const Reading pieces = measureInChunks(audio, 13);
    EXPECT_DOUBLE_EQ(*whole.integrated, *pieces.integrated);
    EXPECT_DOUBLE_EQ(whole.truePeak, pieces.truePeak);
}

TEST(LoudnessMeter, NonFiniteSamplesDoNotPoisonTheReading) {
    Audio audio = test::sine(48000.0, 1, 1000.0, 0.3, 5.0);
    audio.samples[1000] = std::numeric_limits<float>::quiet_NaN();
    audio.samples[2000] = std::numeric_limits<float>::infinity();
    const Reading reading = measureInChunks(audio);
    ASSERT_TRUE(reading.integrated.has_value());
    EXPECT_TRUE(std::isfinite(*reading.integrated));
    EXPECT_TRUE(std::isfinite(reading.truePeak));
}

}  // namespace
}  // namespace morvale
