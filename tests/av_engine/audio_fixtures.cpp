#include "audio_fixtures.h"

#include "av_engine/pcm_stream.h"

#include <ebur128.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <stdexcept>

namespace morvale::test {

Audio sine(double sampleRate, int channels, double frequency, double amplitude, double seconds, double phase,
           std::vector<int> activeChannels) {
    if (activeChannels.empty()) {
        for (int c = 0; c < channels; ++c) activeChannels.push_back(c);
    }
    Audio audio{sampleRate, channels, {}};
    const auto frames = static_cast<std::size_t>(std::llround(seconds * sampleRate));
    audio.samples.assign(frames * static_cast<std::size_t>(channels), 0.0f);
    for (std::size_t f = 0; f < frames; ++f) {
        const double v = amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(f) / sampleRate + phase);
        for (int c : activeChannels) audio.samples[f * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = static_cast<float>(v);
    }
    return audio;
}

void fadeEdges(Audio& audio, double seconds) {
    const auto fade = static_cast<std::int64_t>(seconds * audio.sampleRate);
    const std::int64_t frames = audio.frames();
    for (std::int64_t f = 0; f < std::min(fade, frames); ++f) {
        const auto g = static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(f) / static_cast<double>(fade)));
        for (int c = 0; c < audio.channels; ++c) {
            audio.samples[static_cast<std::size_t>(f * audio.channels + c)] *= g;
            audio.samples[static_cast<std::size_t>((frames - 1 - f) * audio.channels + c)] *= g;
        }
    }
}

Audio silence(double sampleRate, int channels, double seconds) {
    Audio audio{sampleRate, channels, {}};
    audio.samples.assign(static_cast<std::size_t>(std::llround(seconds * sampleRate)) * static_cast<std::size_t>(channels), 0.0f);
    return audio;
}

double dbToAmplitude(double db) { return std::pow(10.0, db / 20.0); }

ReferenceReading referenceLoudness(const Audio& audio) {
    std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
        ebur128_init(static_cast<unsigned>(audio.channels), static_cast<unsigned long>(audio.sampleRate),
                     EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK),
        [](ebur128_state* s) { ebur128_destroy(&s); });
    if (!state) throw std::runtime_error("libebur128 refused the format");
    ebur128_add_frames_float(state.get(), audio.samples.data(), static_cast<std::size_t>(audio.frames()));
    ReferenceReading reading;
    double loudness = 0.0;
    if (ebur128_loudness_global(state.get(), &loudness) == EBUR128_SUCCESS && std::isfinite(loudness)) {
        reading.integratedLUFS = loudness;
    }
    double peak = 0.0;
    for (int c = 0; c < audio.channels; ++c) {
        double channelPeak = 0.0;
        ebur128_true_peak(state.get(), static_cast<unsigned>(c), &channelPeak);
        peak = std::max(peak, channelPeak);
    }
    reading.truePeakDB = 20.0 * std::log10(std::max(1e-10, peak));
    return reading;
}

bool run(const std::string& commandLine) { return std::system((commandLine + " >/dev/null 2>&1").c_str()) == 0; }

std::string quoted(const std::filesystem::path& path) {
    std::string out = "'";
    for (char c : path.string()) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

ReferenceReading referenceLoudnessOfFile(const std::filesystem::path& file) {
    // Channel count and rate from ffprobe, samples from ffmpeg: no part of the engine is involved.
    const std::string probe = "ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels -of csv=p=0 " + quoted(file);
    std::unique_ptr<FILE, int (*)(FILE*)> info(popen(probe.c_str(), "r"), pclose);
    int rate = 0;
    int channels = 0;
    if (!info || std::fscanf(info.get(), "%d,%d", &rate, &channels) != 2) throw std::runtime_error("ffprobe failed");
    const std::string decodeCommand = "ffmpeg -v error -i " + quoted(file) + " -f f32le -acodec pcm_f32le -";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(decodeCommand.c_str(), "r"), pclose);
    if (!pipe) throw std::runtime_error("ffmpeg failed");
    Audio audio{static_cast<double>(rate), channels, {}};
    std::vector<float> buffer(65536);
    std::size_t got;
    while ((got = std::fread(buffer.data(), sizeof(float), buffer.size(), pipe.get())) > 0) {
        audio.samples.insert(audio.samples.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    }
    return referenceLoudness(audio);
}

std::filesystem::path makeSpeech(const std::filesystem::path& folder, double seconds, int sampleRate) {
    const std::filesystem::path raw = folder / "speech_raw.wav";
    const std::filesystem::path out = folder / ("speech_" + std::to_string(sampleRate) + ".wav");
    const std::string text =
        "The harbour was quiet that morning. We talked about the weather, the boats and the long road home. "
        "Nobody expected the storm to arrive so early, but everyone was ready when it came. ";
    std::string all;
    for (int i = 0; i < 1 + static_cast<int>(seconds / 10.0); ++i) all += text;
    if (!run("espeak-ng -s 160 -w " + quoted(raw) + " \"" + all + "\"")) throw std::runtime_error("espeak-ng failed");
    char trim[64];
    std::snprintf(trim, sizeof trim, "%.3f", seconds);
    if (!run("sox " + quoted(raw) + " -r " + std::to_string(sampleRate) + " " + quoted(out) + " trim 0 " + trim)) {
        throw std::runtime_error("sox failed");
    }
    return out;
}

Audio decode(const std::filesystem::path& file) {
    Audio audio;
    const PCMStream::Format format = PCMStream::read(file, std::nullopt, std::nullopt, std::nullopt,
                                                     [&](std::span<const float> samples, std::int64_t) {
                                                         audio.samples.insert(audio.samples.end(), samples.begin(), samples.end());
                                                     });
    audio.sampleRate = format.sampleRate;
    audio.channels = format.channels;
    return audio;
}

}  // namespace morvale::test
