#include "av_engine/loudness_normalizer.h"

#include "av_engine/biquad.h"
#include "av_engine/look_ahead_limiter.h"
#include "av_engine/loudness_meter.h"
#include "av_engine/pcm_stream.h"
#include "av_engine/wav_writer.h"
#include "base/atomic_file_writer.h"
#include "base/c_format.h"
#include "base/cancellation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>

namespace morvale {

namespace {

// A correction (or a first gain) this large would only lift noise; it is not applied.
constexpr double kMaxGainDB = 40.0;
constexpr double kTolerance = 0.3;

std::string normalizerMessage(LoudnessNormalizer::NormalizerError::Kind kind, const std::filesystem::path& file) {
    switch (kind) {
    case LoudnessNormalizer::NormalizerError::Kind::silentOrTooShort:
        return file.filename().string() + " is silent or too short to measure loudness.";
    case LoudnessNormalizer::NormalizerError::Kind::cannotCreateExportSession:
        return "Failed to initialize AVAssetExportSession for audio normalization.";
    case LoudnessNormalizer::NormalizerError::Kind::exportFailed:
        return "Audio export session failed.";
    }
    return "Audio export session failed.";
}

double amplitudeToDB(double amplitude) { return 20.0 * std::log10(std::max(1e-9, amplitude)); }
double energyToDB(double energy) { return 10.0 * std::log10(std::max(1e-12, energy)); }

struct RenderResult {
    std::optional<double> integratedLUFS;
    double truePeakDB = -180.0;
    double limiterReductionDB = 0.0;
    double rmsDB = -120.0;
    double samplePeakDB = -180.0;
    double noiseFloorDB = -100.0;
    std::int64_t framesWritten = 0;
};

class Renderer {
public:
    Renderer(const std::filesystem::path& source, const AudioAnalysis& analysis, const CleanupPlan& plan,
             const LoudnessNormalizer::LoudnessTarget& target, const CleanupOptions& cleanup)
        : source_(source), analysis_(analysis), plan_(plan), target_(target), cleanup_(cleanup) {}

    RenderResult render(const std::filesystem::path& destination, double gainDB,
                        const LoudnessNormalizer::LogCallback& log, const std::stop_token& stop,
                        LoudnessNormalizer::RenderListener* listener) const {
        const double fs = analysis_.sampleRate;
        const int ch = analysis_.channels;
        const auto channels = static_cast<std::size_t>(ch);

        std::vector<std::vector<Biquad>> chains(channels);
        for (auto& chain : chains) {
            if (cleanup_.rumbleFilter) chain.push_back(Biquad::highPass(80.0, fs, 0.7071));
            if (plan_.humFrequency) {
                for (int k = 1; k <= 6; ++k) {
                    const double f = k * *plan_.humFrequency;
                    if (f < fs / 2.0 - 100.0) chain.push_back(Biquad::notch(f, fs));
                }
            }
        }
        const std::int64_t blockLength = LoudnessMeter::blockFrames(fs);
        std::optional<NoiseGate> gate;
        if (plan_.gateThresholdDB) gate.emplace(*plan_.gateThresholdDB, fs);
        LookaheadLimiter limiter(ch, fs, target_.acx ? target_.truePeakDB : target_.truePeakDB - 0.2);
        const bool hasCuts = !plan_.cuts.empty();
        CutRenderer cuts(plan_.cuts, std::max<std::int64_t>(1, static_cast<std::int64_t>(fs * 0.01)));
        LoudnessMeter meter(fs, ch);
        const double baseGain = std::pow(10.0, gainDB / 20.0);
        const std::vector<double>& leveler = plan_.levelerGains;
        const auto levelerCount = static_cast<std::int64_t>(leveler.size());

        WAVWriter writer(destination, fs, ch, 24);
        if (listener != nullptr) listener->started(fs, ch);
        std::vector<float> frame(channels);
        std::vector<float> limited;
        std::vector<float> kept;
        std::int64_t sourceFrame = 0;
        std::int64_t outputFrame = 0;
        double total = 0.0;
        double blockSum = 0.0;
        std::int64_t blockCount = 0;
        std::vector<double> blockLevels;
        float peak = 0.0f;

        auto emit = [&] {
            kept.clear();
            const std::size_t frames = limited.size() / channels;
            for (std::size_t f = 0; f < frames; ++f, ++outputFrame) {
                const std::optional<float> fade = hasCuts ? cuts.gain(outputFrame) : std::optional<float>(1.0f);
                if (!fade) continue;
                double frameSum = 0.0;
                for (std::size_t c = 0; c < channels; ++c) {
                    const float v = limited[f * channels + c] * *fade;
                    kept.push_back(v);
                    frameSum += static_cast<double>(v) * v;
                    peak = std::max(peak, std::fabs(v));
                }
                total += frameSum;
                blockSum += frameSum;
                if (++blockCount == blockLength) {
                    blockLevels.push_back(energyToDB(blockSum / static_cast<double>(blockLength * ch)));
                    blockSum = 0.0;
                    blockCount = 0;
                }
            }
            const auto keptFrames = static_cast<std::int64_t>(kept.size() / channels);
            meter.process(kept, keptFrames);
            writer.write(kept.data(), keptFrames);
            if (listener != nullptr && keptFrames > 0) listener->rendered(kept.data(), keptFrames);
        };

        PCMStream::read(
            source_, fs, ch, std::nullopt,
            [&](std::span<const float> samples, std::int64_t frames) {
                limited.clear();
                for (std::int64_t f = 0; f < frames; ++f, ++sourceFrame) {
                    float framePeak = 0.0f;
                    for (std::size_t c = 0; c < channels; ++c) {
                        double x = samples[static_cast<std::size_t>(f) * channels + c];
                        if (!std::isfinite(x)) x = 0.0;
                        for (Biquad& stage : chains[c]) x = stage.step(x);
                        frame[c] = static_cast<float>(x);
                        framePeak = std::max(framePeak, std::fabs(frame[c]));
                    }
                    double factor = baseGain;
                    if (levelerCount > 0) {
                        const double x = static_cast<double>(sourceFrame) / static_cast<double>(blockLength) - 0.5;
                        const auto i0 = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(x)), 0, levelerCount - 1);
                        const std::int64_t i1 = std::min(i0 + 1, levelerCount - 1);
                        const double t = std::clamp(x - static_cast<double>(i0), 0.0, 1.0);
                        const double levelDB = t * leveler[static_cast<std::size_t>(i1)] +
                                               (1.0 - t) * leveler[static_cast<std::size_t>(i0)];
                        factor *= std::exp(levelDB * (std::numbers::ln10 / 20.0));
                    }
                    if (gate) factor *= static_cast<double>(gate->gain(framePeak));
                    for (float& v : frame) v = static_cast<float>(v * factor);
                    limiter.step(frame, 0, limited);
                }
                emit();
            },
            log, stop);
        limited.clear();
        limiter.flush(limited);
        emit();
        writer.close();

        RenderResult result;
        result.integratedLUFS = meter.integratedLUFS();
        result.truePeakDB = meter.truePeakDBTP();
        result.limiterReductionDB = limiter.maxReductionDB();
        result.framesWritten = writer.framesWritten();
        result.rmsDB = energyToDB(total / static_cast<double>(std::max<std::int64_t>(1, result.framesWritten * ch)));
        result.samplePeakDB = amplitudeToDB(peak);
        result.noiseFloorDB = noiseFloorOf(blockLevels);
        return result;
    }

private:
    const std::filesystem::path& source_;
    const AudioAnalysis& analysis_;
    const CleanupPlan& plan_;
    const LoudnessNormalizer::LoudnessTarget& target_;
    const CleanupOptions& cleanup_;
};

// The render file beside the destination; renamed over it only when the whole operation succeeded.
// Its failures read as the WAV writer's.
class PendingOutput {
public:
    explicit PendingOutput(const std::filesystem::path& destination) : destination_(destination) {
        guarded([&] { file_.emplace(destination, AtomicFileWriter::Options{.createFolders = false, .durable = true}); });
    }

    const std::filesystem::path& path() const { return file_->temporaryPath(); }
    void commit() {
        guarded([&] { file_->commit(); });
    }

private:
    template <typename Step>
    void guarded(Step&& step) {
        try {
            step();
        } catch (const AtomicWriteError& error) {
            throw WAVWriter::WriteError("Could not write " + destination_.filename().string() + ": " +
                                        error.code().message());
        }
    }

    std::filesystem::path destination_;
    std::optional<AtomicFileWriter> file_;
};

}  // namespace

LoudnessNormalizer::NormalizerError::NormalizerError(Kind kind, const std::filesystem::path& file)
    : std::runtime_error(normalizerMessage(kind, file)), kind_(kind) {}

std::string LoudnessNormalizer::ACXReport::text() const {
    auto status = [](bool ok) { return std::string(ok ? "PASS  " : "FAIL  "); };
    std::string out = "Audible / ACX audio check\n==========================\n";
    out += status(rmsOK()) + cformat("RMS level      %6.1f dB   (needs -23 to -18 dB)", rmsDB) + "\n";
    out += status(peakOK()) + cformat("Peak level     %6.1f dB   (needs -3 dB or lower)", peakDB) + "\n";
    out += status(noiseOK()) + cformat("Noise floor    %6.1f dB   (needs -60 dB or lower)", noiseFloorDB);
    const double rate = std::isfinite(sampleRate) ? std::clamp(std::trunc(sampleRate), -1.0e15, 1.0e15) : 0.0;
    out += "\nSample rate    " + std::to_string(static_cast<long long>(rate)) +
           " Hz    (ACX wants 44100 Hz; upload as 192 kbps CBR MP3)\n\nOverall: ";
    out += passes() ? "PASSES the ACX audio requirements." : "Does NOT pass yet. See the FAIL lines above.";
    out += "\n";
    if (!noiseOK()) out += "Tip: turn on the noise gate, or record with less background noise.";
    return out;
}

AudioAnalysis LoudnessNormalizer::analyze(const std::filesystem::path& file, bool detectHum, const LogCallback& log,
                                          std::stop_token stop) const {
    const PCMStream::Format format = PCMStream::format(file, log, stop);
    AudioAnalysis analysis;
    analysis.sampleRate = format.sampleRate;
    analysis.channels = format.channels;
    const double fs = format.sampleRate;
    const auto channels = static_cast<std::size_t>(format.channels);
    LoudnessMeter meter(fs, format.channels);
    const std::int64_t blockLength = LoudnessMeter::blockFrames(fs);
    const auto humSamples = static_cast<std::size_t>(std::max(0.0, fs * 60.0));
    std::vector<float> mono;
    if (detectHum) mono.reserve(std::min<std::size_t>(humSamples, 60u * 200000u));

    double rawBlock = 0.0;
    std::int64_t blockCount = 0;
    double total = 0.0;
    std::int64_t samples = 0;
    float peak = 0.0f;
    PCMStream::read(
        file, fs, format.channels, std::nullopt,
        [&](std::span<const float> chunk, std::int64_t frames) {
            meter.process(chunk, frames);
            const float inverse = 1.0f / static_cast<float>(channels);
            for (std::int64_t f = 0; f < frames; ++f) {
                const float* frame = chunk.data() + static_cast<std::size_t>(f) * channels;
                double frameSum = 0.0;
                float frameMean = 0.0f;
                for (std::size_t c = 0; c < channels; ++c) {
                    const float x = std::isfinite(frame[c]) ? frame[c] : 0.0f;
                    peak = std::max(peak, std::fabs(x));
                    frameSum += static_cast<double>(x) * x;
                    frameMean += x;
                }
                total += frameSum;
                rawBlock += frameSum / static_cast<double>(channels);
                if (detectHum && mono.size() < humSamples) mono.push_back(frameMean * inverse);
                if (++blockCount == blockLength) {
                    analysis.blockRMSdB.push_back(energyToDB(rawBlock / static_cast<double>(blockLength)));
                    rawBlock = 0.0;
                    blockCount = 0;
                }
            }
            samples += frames * static_cast<std::int64_t>(channels);
            analysis.frames += frames;
        },
        log, stop);

    analysis.integratedLUFS = meter.integratedLUFS();
    analysis.weightedEnergy = meter.subBlocks();
    analysis.truePeak = meter.truePeakDBTP();
    analysis.samplePeak = amplitudeToDB(peak);
    analysis.rmsDB = energyToDB(total / static_cast<double>(std::max<std::int64_t>(1, samples)));
    analysis.noiseFloorDB = noiseFloorOf(analysis.blockRMSdB);
    if (detectHum) analysis.humFrequency = detectHumIn(mono, fs);
    return analysis;
}

LoudnessNormalizer::Measurement LoudnessNormalizer::measure(const std::filesystem::path& file, const LogCallback& log,
                                                            std::stop_token stop) const {
    const AudioAnalysis analysis = analyze(file, false, log, std::move(stop));
    Measurement m;
    m.integratedLUFS = analysis.integratedLUFS.value_or(-70.0);
    m.truePeakDBTP = analysis.truePeak;
    m.sampleRate = analysis.sampleRate;
    m.channels = analysis.channels;
    m.durationSeconds = analysis.sampleRate > 0 ? static_cast<double>(analysis.frames) / analysis.sampleRate : 0.0;
    m.rmsDB = analysis.rmsDB;
    m.samplePeakDB = analysis.samplePeak;
    m.noiseFloorDB = analysis.noiseFloorDB;
    return m;
}

LoudnessNormalizer::Result LoudnessNormalizer::normalize(const std::filesystem::path& source,
                                                         const std::filesystem::path& destination,
                                                         const LoudnessTarget& target, const LogCallback& log,
                                                         std::stop_token stop) const {
    return process(source, destination, target, CleanupOptions::none(), log, std::move(stop));
}

LoudnessNormalizer::Result LoudnessNormalizer::process(const std::filesystem::path& source,
                                                       const std::filesystem::path& destination,
                                                       const LoudnessTarget& target, const CleanupOptions& cleanup,
                                                       const LogCallback& log, std::stop_token stop,
                                                       RenderListener* listener) const {
    auto say = [&](const std::string& line) {
        if (log) log(line);
    };
    const AudioAnalysis analysis =
        analyze(source, cleanup.humRemoval == CleanupOptions::HumMode::autoDetect, log, stop);
    if (!analysis.integratedLUFS) throw NormalizerError(NormalizerError::Kind::silentOrTooShort, source);
    const CleanupPlan plan = CleanupPlan::make(analysis, cleanup);
    const double goal = target.integratedLUFS;
    const double measuredIn = target.acx ? analysis.rmsDB : *analysis.integratedLUFS;

    double gain = goal - measuredIn;
    if (!std::isfinite(gain)) throw NormalizerError(NormalizerError::Kind::silentOrTooShort, source);
    if (gain >= kMaxGainDB) {
        say("Loudness: " + source.filename().string() + cformat(" needs %+.1f dB", gain) +
            cformat("; gain capped at %+.1f dB.", kMaxGainDB));
        gain = kMaxGainDB;
    }

    PendingOutput output(destination);
    Renderer renderer(source, analysis, plan, target, cleanup);
    say(cformat("Loudness: input %.1f ", measuredIn) + (target.acx ? "dB RMS" : "LUFS") +
        cformat(", applying %+.2f dB gain.", gain));
    RenderResult render = renderer.render(output.path(), gain, log, stop, listener);
    for (int pass = 0; pass < 2; ++pass) {
        const double measured = target.acx ? render.rmsDB : render.integratedLUFS.value_or(goal);
        if (std::fabs(measured - goal) <= kTolerance) break;
        const double corrected = gain + (goal - measured);
        if (!(corrected < kMaxGainDB)) {
            say(cformat("Loudness: correction to %+.1f dB exceeds the 40 dB cap; kept ", corrected) +
                cformat("%+.2f dB.", gain));
            break;
        }
        gain = corrected;
        say(cformat("Loudness: output missed the target by %.2f dB", measured - goal) +
            cformat("; rendering again with %+.2f dB gain.", gain));
        render = renderer.render(output.path(), gain, log, stop, listener);
    }
    // A stop that came after the last packet still leaves the destination as it was.
    throwIfStopRequested(stop);
    if (!render.integratedLUFS) throw NormalizerError(NormalizerError::Kind::silentOrTooShort, source);
    output.commit();

    const double fs = analysis.sampleRate;
    Result result;
    result.input.integratedLUFS = *analysis.integratedLUFS;
    result.input.truePeakDBTP = analysis.truePeak;
    result.input.sampleRate = fs;
    result.input.channels = analysis.channels;
    result.input.durationSeconds = static_cast<double>(analysis.frames) / fs;
    result.input.rmsDB = analysis.rmsDB;
    result.input.samplePeakDB = analysis.samplePeak;
    result.input.noiseFloorDB = analysis.noiseFloorDB;
    result.output.integratedLUFS = *render.integratedLUFS;
    result.output.truePeakDBTP = render.truePeakDB;
    result.output.sampleRate = fs;
    result.output.channels = analysis.channels;
    result.output.durationSeconds = static_cast<double>(render.framesWritten) / fs;
    result.output.rmsDB = render.rmsDB;
    result.output.samplePeakDB = render.samplePeakDB;
    result.output.noiseFloorDB = render.noiseFloorDB;
    result.gainDB = gain;
    result.limiterReductionDB = render.limiterReductionDB;
    result.humRemovedHz = plan.humFrequency;
    std::int64_t removed = 0;
    for (const FrameRange& cut : plan.cuts) removed += cut.end - cut.start;
    result.secondsRemoved = static_cast<double>(removed) / fs;
    if (!plan.levelerGains.empty()) {
        const auto [lo, hi] = std::minmax_element(plan.levelerGains.begin(), plan.levelerGains.end());
        if (*hi - *lo > 0.5) result.levelerRangeDB = std::make_pair(*lo, *hi);
    }
    if (target.acx) {
        result.acxReport = ACXReport{render.rmsDB, render.truePeakDB, render.noiseFloorDB, fs};
    }
    say(cformat("Loudness: master at %.1f LUFS", result.output.integratedLUFS) +
        cformat(", true peak %.1f dBTP.", result.output.truePeakDBTP));
    return result;
}

}  // namespace morvale
