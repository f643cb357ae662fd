#include "audio_fixtures.h"
#include "support/temp_dir.h"

#include "av_engine/loudness_normalizer.h"
#include "av_engine/wav_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace morvale {
namespace {

using test::Audio;

void writeWav(const std::filesystem::path& path, const Audio& audio, int bits = 24) {
    WAVWriter writer(path, audio.sampleRate, audio.channels, bits);
    writer.write(audio.samples.data(), audio.frames());
    writer.close();
}

// Speech at a modest level over pink noise and 50 Hz mains hum with harmonics, in stereo at 48 kHz.
Audio noisySpeech(const std::filesystem::path& folder, double seconds, double speechGain = 0.3) {
    const Audio speech = test::decode(test::makeSpeech(folder, seconds, 48000));
    std::mt19937 random(11);
    std::uniform_real_distribution<float> white(-1.0f, 1.0f);
    float b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0;
    Audio out{48000.0, 2, {}};
    for (std::size_t i = 0; i < speech.samples.size(); ++i) {
        const float w = white(random);
        b0 = 0.99886f * b0 + w * 0.0555179f;
        b1 = 0.99332f * b1 + w * 0.0750759f;
        b2 = 0.96900f * b2 + w * 0.1538520f;
        b3 = 0.86650f * b3 + w * 0.3104856f;
        b4 = 0.55000f * b4 + w * 0.5329522f;
        b5 = -0.7616f * b5 - w * 0.0168980f;
        const float pink = (b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362f) * 0.11f;
        b6 = w * 0.115926f;
        const double t = static_cast<double>(i) / 48000.0;
        const double hum = 0.01 * std::sin(2 * std::numbers::pi * 50 * t) + 0.004 * std::sin(2 * std::numbers::pi * 100 * t) +
                           0.003 * std::sin(2 * std::numbers::pi * 150 * t);
        const float base = speech.samples[i] * static_cast<float>(speechGain) + pink * 0.004f + static_cast<float>(hum);
        out.samples.push_back(base);
        out.samples.push_back(base * 0.9f);
    }
    return out;
}

TEST(LoudnessNormalizer, MastersNoisySpeechToTargetUnderTheCeiling) {
    test::TempDir dir;
    const auto source = dir / "episode.wav";
    writeWav(source, noisySpeech(dir.path(), 30.0));
    const auto master = dir / "master.wav";
    std::vector<std::string> log;
    CleanupOptions cleanup(true, CleanupOptions::HumMode::autoDetect, true, true, false, 0.0);
    const auto result = LoudnessNormalizer().process(source, master, LoudnessNormalizer::LoudnessTarget::stereoPodcast(),
                                                     cleanup, [&](const std::string& line) { log.push_back(line); });
    for (const auto& l : log) std::printf("%s\n", l.c_str());
    const test::ReferenceReading reference = test::referenceLoudnessOfFile(master);
    ASSERT_TRUE(reference.integratedLUFS.has_value());
    std::printf("ref %.2f tp %.2f ours %.2f tp %.2f gain %.2f lim %.2f\n", *reference.integratedLUFS, reference.truePeakDB,
                result.output.integratedLUFS, result.output.truePeakDBTP, result.gainDB, result.limiterReductionDB);
    EXPECT_NEAR(*reference.integratedLUFS, -16.0, 0.3);
    EXPECT_LE(reference.truePeakDB, -1.5);
    EXPECT_LE(result.output.truePeakDBTP, -1.5);
    ASSERT_TRUE(result.humRemovedHz.has_value());
    EXPECT_DOUBLE_EQ(*result.humRemovedHz, 50.0);
}

}  // namespace
}  // namespace morvale
