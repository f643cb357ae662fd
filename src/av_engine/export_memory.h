#pragma once

#include "av_engine/audiogram_generator.h"

#include <cstdint>
#include <filesystem>
#include <stop_token>

namespace morvale {

// Working memory of the podcast export's heavy stages, estimated from what the stage reads, so that the
// export can hold that much of the process's MemoryBudget while the stage runs. The figures are peak
// resident growth measured with bench/av_engine/audio_decode_driver under /usr/bin/time -v, rounded up.
// Pure; any thread.
struct ExportMemory {
    // Decoding, measuring and rendering one file through the loudness stage: 48 MB for FFmpeg's
    // demuxer, decoder and resampler with their buffers and the MP3 encoder fed at the same time; 128 MB
    // for the copies FFmpeg keeps of the metadata it reads (up to 16 MB a piece, peaking at about seven
    // times that: a 16 MB Ogg comment took 117 MB against 37 MB without); a minute of mono float at the
    // file's rate for the hum search; one second at its rate and channel count for the decoder's
    // frames; and 1 kB per second of audio for the analysis values kept per block (loudness, leveler
    // gains, silence). A file whose header cannot be read gets the fixed part: it fails on its own soon.
    static std::uint64_t decoding(const std::filesystem::path& file, std::stop_token stop = {});

    // The file's duration for the estimates; 0 when its header cannot be read.
    static double seconds(const std::filesystem::path& file, std::stop_token stop = {});

    // Rendering an audiogram: per pixel of the frame, 24 bytes for the painted picture, the background
    // and the frames in flight, and 16 for each of x264's frame threads (one and a half per processor
    // the process may use); 48 MB for the encoders; 32 kB per second for the audio envelope and the
    // AAC packets held for interleaving. Measured at 8 processors: 304 MB square, 450 MB vertical.
    static std::uint64_t audiogram(AudiogramGenerator::AspectRatio aspect, double seconds);
};

}  // namespace morvale
