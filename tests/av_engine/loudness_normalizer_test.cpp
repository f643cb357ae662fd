#include "audio_fixtures.h"
#include "support/temp_dir.h"

#include "av_engine/loudness_normalizer.h"
#include "av_engine/wav_writer.h"
#include "base/cancellation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stop_token>
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

std::size_t entriesIn(const std::filesystem::path& folder) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}

// Temporary files are hidden ones beside the destination.
std::size_t temporaryFilesIn(const std::filesystem::path& folder) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        n += e.path().filename().string().starts_with('.') ? 1 : 0;
    }
    return n;
}

bool anyLineStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

TEST(LoudnessNormalizer, MastersNoisySpeechToTargetUnderTheCeiling) {
    test::TempDir dir;
    const auto source = dir / "episode.wav";
    writeWav(source, noisySpeech(dir.path(), 30.0));
    const auto master = dir / "master.wav";
    std::vector<std::string> log;
    const CleanupOptions cleanup(true, CleanupOptions::HumMode::autoDetect, true, true, false, 0.0);
    const auto target = LoudnessNormalizer::LoudnessTarget::stereoPodcast();
    const auto result = LoudnessNormalizer().process(source, master, target, cleanup,
                                                     [&](const std::string& line) { log.push_back(line); });

    const test::ReferenceReading reference = test::referenceLoudnessOfFile(master);
    ASSERT_TRUE(reference.integratedLUFS.has_value());
    EXPECT_NEAR(*reference.integratedLUFS, -16.0, 0.3);
    EXPECT_LE(reference.truePeakDB, target.truePeakDB);
    EXPECT_LE(result.output.truePeakDBTP, target.truePeakDB);
    EXPECT_NEAR(result.output.integratedLUFS, *reference.integratedLUFS, 0.05);
    ASSERT_TRUE(result.humRemovedHz.has_value());
    EXPECT_DOUBLE_EQ(*result.humRemovedHz, 50.0);
    EXPECT_LE(result.limiterReductionDB, 0.0);
    EXPECT_EQ(result.output.channels, 2);
    EXPECT_DOUBLE_EQ(result.output.sampleRate, 48000.0);
    EXPECT_NEAR(result.output.durationSeconds, result.input.durationSeconds, 1e-9);
    EXPECT_FALSE(result.acxReport.has_value());
    EXPECT_TRUE(anyLineStartsWith(log, "Loudness: input "));
    EXPECT_EQ(temporaryFilesIn(dir.path()), 0u);

    // The notches took the hum out: little energy is left at 50 Hz relative to the input.
    const Audio out = test::decode(master);
    auto power50 = [](const Audio& audio, double gainDB) {
        double re = 0.0, im = 0.0;
        for (std::int64_t f = 0; f < audio.frames(); ++f) {
            const double w = 2.0 * std::numbers::pi * 50.0 * static_cast<double>(f) / audio.sampleRate;
            re += audio.samples[static_cast<std::size_t>(f * audio.channels)] * std::cos(w);
            im += audio.samples[static_cast<std::size_t>(f * audio.channels)] * std::sin(w);
        }
        return 10.0 * std::log10((re * re + im * im) / static_cast<double>(audio.frames())) - gainDB;
    };
    const Audio in = test::decode(source);
    EXPECT_LT(power50(out, result.gainDB), power50(in, 0.0) - 20.0);
}

// Quitting while a long episode renders: the render ends within a packet of the stop, with
// OperationCancelled, and leaves neither the master nor any temporary file. The stop comes as the first
// samples are rendered, and what is rendered after it is counted in samples rather than timed.
TEST(LoudnessNormalizer, AStopDuringTheRenderOfTenMinutesEndsAtOnceAndLeavesNoFile) {
    test::TempDir dir;
    const auto source = dir / "episode.wav";
    {
        WAVWriter writer(source, 44100.0, 1, 16);
        const Audio second = test::sine(44100.0, 1, 440.0, 0.1, 1.0);
        for (int s = 0; s < 600; ++s) writer.write(second.samples.data(), second.frames());
        writer.close();
    }
    const auto destination = dir / "out" / "episode_master.wav";
    std::filesystem::create_directories(destination.parent_path());

    struct QuitOnFirstSamples : LoudnessNormalizer::RenderListener {
        std::stop_source quit;
        double sampleRate = 0.0;
        std::int64_t framesAfterStop = -1;
        void started(double rate, int) override { sampleRate = rate; }
        void rendered(const float*, std::int64_t frames) override {
            if (quit.stop_requested()) {
                framesAfterStop += frames;
            } else {
                quit.request_stop();
                framesAfterStop = 0;
            }
        }
    } listener;
    EXPECT_THROW((void)LoudnessNormalizer().process(source, destination,
                                                    LoudnessNormalizer::LoudnessTarget::stereoPodcast(),
                                                    CleanupOptions::none(), {}, listener.quit.get_token(), &listener),
                 OperationCancelled);
    ASSERT_TRUE(listener.quit.stop_requested()) << "the render never started";
    EXPECT_LT(static_cast<double>(listener.framesAfterStop), listener.sampleRate) << "a second or more after the stop";
    EXPECT_EQ(entriesIn(destination.parent_path()), 0u);
    EXPECT_EQ(entriesIn(dir.path()), 2u);  // the source and the empty output folder
}

TEST(LoudnessNormalizer, AudiobookModeMatchesRmsAndReports) {
    test::TempDir dir;
    const auto source = dir / "chapter.wav";
    writeWav(source, noisySpeech(dir.path(), 20.0, 0.05));
    const auto target = LoudnessNormalizer::LoudnessTarget::audibleACX();
    const auto result = LoudnessNormalizer().process(source, dir / "acx.wav", target, CleanupOptions::none());
    ASSERT_TRUE(result.acxReport.has_value());
    const auto& report = *result.acxReport;
    EXPECT_NEAR(result.output.rmsDB, -20.0, 0.3);
    EXPECT_DOUBLE_EQ(report.rmsDB, result.output.rmsDB);
    EXPECT_DOUBLE_EQ(report.sampleRate, 48000.0);
    EXPECT_LE(report.peakDB, -3.5 + 1e-6);  // the ceiling is the target's own in this mode
    EXPECT_LE(test::referenceLoudnessOfFile(dir / "acx.wav").truePeakDB, -3.5);
    const std::string text = report.text();
    EXPECT_EQ(text.rfind("Audible / ACX audio check\n==========================\nPASS  RMS level ", 0), 0u) << text;
    EXPECT_NE(text.find("\nPASS  Peak level "), std::string::npos) << text;
    EXPECT_NE(text.find("Sample rate    48000 Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)"), std::string::npos);
    EXPECT_EQ(report.noiseOK(), text.find("Tip: turn on the noise gate") == std::string::npos);
}

TEST(LoudnessNormalizer, AcxReportText) {
    const LoudnessNormalizer::ACXReport failing{-24.04, -2.96, -55.2, 44100.9};
    EXPECT_EQ(failing.text(),
              "Audible / ACX audio check\n==========================\n"
              "FAIL  RMS level       -24.0 dB   (needs -23 to -18 dB)\n"
              "FAIL  Peak level       -3.0 dB   (needs -3 dB or lower)\n"
              "FAIL  Noise floor     -55.2 dB   (needs -60 dB or lower)\n"
              "Sample rate    44100 Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)\n\n"
              "Overall: Does NOT pass yet. See the FAIL lines above.\n"
              "Tip: turn on the noise gate, or record with less background noise.");
    const LoudnessNormalizer::ACXReport passing{-18.0, -3.0, -60.0, 44100.0};
    EXPECT_TRUE(passing.passes());
    EXPECT_EQ(passing.text(),
              "Audible / ACX audio check\n==========================\n"
              "PASS  RMS level       -18.0 dB   (needs -23 to -18 dB)\n"
              "PASS  Peak level       -3.0 dB   (needs -3 dB or lower)\n"
              "PASS  Noise floor     -60.0 dB   (needs -60 dB or lower)\n"
              "Sample rate    44100 Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)\n\n"
              "Overall: PASSES the ACX audio requirements.\n");
    EXPECT_FALSE((LoudnessNormalizer::ACXReport{-17.99, -3.0, -60.0, 44100.0}.rmsOK()));
    EXPECT_FALSE((LoudnessNormalizer::ACXReport{-23.01, -3.0, -60.0, 44100.0}.rmsOK()));
}

TEST(LoudnessNormalizer, UnmeasurableInputFailsAndKeepsTheEarlierMaster) {
    test::TempDir dir;
    struct Case {
        const char* name;
        Audio audio;
    };
    const std::vector<Case> cases = {
        {"silence.wav", test::silence(48000.0, 2, 5.0)},
        {"blip.wav", test::sine(48000.0, 2, 1000.0, 0.5, 0.3)},
        {"whisper.wav", test::sine(48000.0, 1, 1000.0, test::dbToAmplitude(-80.0), 5.0)},
    };
    const auto master = dir.write("master.wav", "earlier master");
    for (const Case& c : cases) {
        writeWav(dir / c.name, c.audio);
        try {
            LoudnessNormalizer().normalize(dir / c.name, master, LoudnessNormalizer::LoudnessTarget::stereoPodcast());
            ADD_FAILURE() << c.name << " was normalised";
        } catch (const LoudnessNormalizer::NormalizerError& e) {
            EXPECT_EQ(e.kind(), LoudnessNormalizer::NormalizerError::Kind::silentOrTooShort);
            EXPECT_EQ(std::string(e.what()), std::string(c.name) + " is silent or too short to measure loudness.");
        }
        EXPECT_EQ(test::readFile(master), "earlier master");
    }
    EXPECT_EQ(entriesIn(dir.path()), 1u + cases.size());
    EXPECT_DOUBLE_EQ(LoudnessNormalizer().measure(dir / "silence.wav").integratedLUFS, -70.0);

    // A render that cannot be written leaves nothing behind either.
    writeWav(dir / "tone.wav", test::sine(48000.0, 1, 1000.0, 0.1, 2.0));
    EXPECT_THROW(LoudnessNormalizer().normalize(dir / "tone.wav", dir / "missing folder" / "m.wav",
                                                LoudnessNormalizer::LoudnessTarget::stereoPodcast()),
                 WAVWriter::WriteError);
    EXPECT_EQ(entriesIn(dir.path()), 2u + cases.size());
}

TEST(LoudnessNormalizer, VeryQuietInputGetsAtMostFortyDecibels) {
    test::TempDir dir;
    writeWav(dir / "quiet.wav", test::sine(48000.0, 1, 1000.0, test::dbToAmplitude(-62.0), 5.0));
    std::vector<std::string> log;
    const auto result = LoudnessNormalizer().normalize(dir / "quiet.wav", dir / "loud.wav",
                                                       LoudnessNormalizer::LoudnessTarget::stereoPodcast(),
                                                       [&](const std::string& line) { log.push_back(line); });
    EXPECT_NEAR(result.input.integratedLUFS, -65.0, 0.1);
    EXPECT_DOUBLE_EQ(result.gainDB, 40.0);
    EXPECT_NEAR(result.output.integratedLUFS, -25.0, 0.1);
    EXPECT_TRUE(anyLineStartsWith(log, "Loudness: quiet.wav needs +49.0 dB; gain capped at +40.0 dB."));
    EXPECT_TRUE(anyLineStartsWith(log, "Loudness: input -65.0 LUFS, applying +40.00 dB gain."));
}

TEST(LoudnessNormalizer, OddSourcesMasterAtTheirOwnFormat) {
    test::TempDir dir;
    const auto speech = test::makeSpeech(dir.path(), 12.0, 8000);
    const auto high = dir / "high.wav";
    ASSERT_TRUE(test::run("sox " + test::quoted(speech) + " -r 192000 -c 2 -b 24 " + test::quoted(high) + " vol 0.5"));
    const auto surround = dir / "surround.flac";
    ASSERT_TRUE(test::run("ffmpeg -y -i " + test::quoted(speech) +
                          " -filter_complex \"[0:a]pan=5.1|FL=c0|FR=0.5*c0|FC=0.3*c0|LFE=0*c0|BL=0.2*c0|BR=0.2*c0\" -ar 44100 " +
                          test::quoted(surround)));
    struct Case {
        std::filesystem::path source;
        double rate;
        int channels;
    };
    for (const Case& c : {Case{speech, 8000.0, 1}, Case{high, 192000.0, 2}, Case{surround, 44100.0, 2}}) {
        const auto master = dir / (c.source.stem().string() + "_master.wav");
        std::vector<std::string> log;
        const auto result = LoudnessNormalizer().normalize(c.source, master, LoudnessNormalizer::LoudnessTarget::stereoPodcast(),
                                                           [&](const std::string& line) { log.push_back(line); });
        EXPECT_DOUBLE_EQ(result.output.sampleRate, c.rate) << c.source;
        EXPECT_EQ(result.output.channels, c.channels) << c.source;
        const test::ReferenceReading reference = test::referenceLoudnessOfFile(master);
        ASSERT_TRUE(reference.integratedLUFS) << c.source;
        EXPECT_NEAR(result.output.integratedLUFS, *reference.integratedLUFS, 0.05) << c.source;
        // Synthetic speech is peaky: when the limiter holds the master under target, all three renders were spent.
        std::size_t renders = 1;
        for (const auto& line : log) renders += line.find("rendering again") != std::string::npos ? 1 : 0;
        if (std::fabs(*reference.integratedLUFS + 16.0) > 0.3) {
            EXPECT_EQ(renders, 3u) << c.source;
            EXPECT_LT(*reference.integratedLUFS, -16.0) << c.source;
        }
        EXPECT_LE(reference.truePeakDB, -1.5 + 0.05) << c.source;
    }
}

TEST(LoudnessNormalizer, TrimmingRemovesLeadingSilenceDownToRoomTone) {
    test::TempDir dir;
    const Audio speech = test::decode(test::makeSpeech(dir.path(), 8.0, 48000));
    Audio padded = test::silence(48000.0, 1, 2.0);
    padded.append(speech);
    writeWav(dir / "padded.wav", padded);
    CleanupOptions trim;
    trim.trimSilence = true;
    const auto result = LoudnessNormalizer().process(dir / "padded.wav", dir / "trimmed.wav",
                                                     LoudnessNormalizer::LoudnessTarget::monoPodcast(), trim);
    EXPECT_GT(result.secondsRemoved, 1.6);
    EXPECT_NEAR(result.output.durationSeconds, result.input.durationSeconds - result.secondsRemoved, 1e-6);
    EXPECT_NEAR(static_cast<double>(test::decode(dir / "trimmed.wav").frames()) / 48000.0, result.output.durationSeconds, 1e-6);
    EXPECT_NEAR(result.output.integratedLUFS, -19.0, 0.3);
}

}  // namespace
}  // namespace morvale
