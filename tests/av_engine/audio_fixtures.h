#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace morvale::test {

// Interleaved float audio held in memory.
struct Audio {
    double sampleRate = 48000.0;
    int channels = 1;
    std::vector<float> samples;

    std::int64_t frames() const { return static_cast<std::int64_t>(samples.size()) / channels; }
    void append(const Audio& other) { samples.insert(samples.end(), other.samples.begin(), other.samples.end()); }
};

// A sine of `amplitude` (peak) in each listed channel, silence in the others.
Audio sine(double sampleRate, int channels, double frequency, double amplitude, double seconds,
           double phase = 0.0, std::vector<int> activeChannels = {});
// Fades the first and last `seconds` in and out (raised cosine), so no step rings through a filter.
void fadeEdges(Audio& audio, double seconds);
Audio silence(double sampleRate, int channels, double seconds);
double dbToAmplitude(double db);

// Reference readings of libebur128.
struct ReferenceReading {
    std::optional<double> integratedLUFS;
    double truePeakDB = -200.0;
};
ReferenceReading referenceLoudness(const Audio& audio);
// Decodes a file with FFmpeg's command-line tool to float and measures it with libebur128.
ReferenceReading referenceLoudnessOfFile(const std::filesystem::path& file);

// Runs a shell command line; true when it exited with status 0.
bool run(const std::string& commandLine);
std::string quoted(const std::filesystem::path& path);

// Speech from espeak-ng (about `seconds` long, repeated sentences) as a mono WAV at `sampleRate`.
std::filesystem::path makeSpeech(const std::filesystem::path& folder, double seconds, int sampleRate);

// Reads a whole file through the engine's decoder.
Audio decode(const std::filesystem::path& file);

}  // namespace morvale::test
