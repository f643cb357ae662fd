// libFuzzer target: the audio decoder (FFmpeg behind PCMStream) on WAV, MP3, FLAC, Ogg and M4A names.
//
// Oracle: a read either throws StreamError or delivers whole frames of one or two channels at a
// positive rate, every sample a finite number, and reports the same rate and channels as format().
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "av_engine/pcm_stream.h"

#include <optional>
#include <span>
#include "fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using morvale::PCMStream;
    const auto file = morvale::fuzz::writeInput(data, size, {"wav", "mp3", "flac", "ogg", "m4a"});
    try {
        const PCMStream::Format probed = PCMStream::format(file);
        const int channels = probed.channels;
        const PCMStream::Format read = PCMStream::read(
            file, std::nullopt, std::nullopt, 60.0,
            [&](std::span<const float> samples, std::int64_t count) {
                if (count < 0 || channels < 1) std::abort();
                if (samples.size() != static_cast<std::size_t>(count) * static_cast<std::size_t>(channels)) std::abort();
                for (const float sample : samples) {
                    if (!std::isfinite(sample)) std::abort();
                }
            },
            {}, {});
        if (read.channels < 1 || read.channels > 2 || !(read.sampleRate > 0)) std::abort();
        if (probed.channels != read.channels || probed.sampleRate != read.sampleRate) std::abort();
    } catch (const PCMStream::StreamError&) {
    }
    return 0;
}
