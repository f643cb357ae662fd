// One audio stage of the podcast export in a process of its own, for `/usr/bin/time -v` to read its peak
// resident memory:
//   audio_decode_driver decode FILE                 decodes FILE at its own rate and channels
//   audio_decode_driver audiogram FILE ASPECT SECS  renders an audiogram of FILE (square, vertical or
//                                                   landscape, at most SECS seconds) into FILE.mp4
// Prints what happened ("decoded N frames" or the error) on standard output.

#include "av_engine/audiogram_generator.h"
#include "av_engine/pcm_stream.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    using namespace morvale;
    const std::string mode = argc > 2 ? argv[1] : "";
    try {
        if (mode == "decode") {
            std::int64_t frames = 0;
            PCMStream::read(argv[2], std::nullopt, std::nullopt, std::nullopt,
                            [&](std::span<const float>, std::int64_t n) { frames += n; });
            std::printf("decoded %lld frames\n", static_cast<long long>(frames));
            return 0;
        }
        if (mode == "audiogram" && argc > 4) {
            AudiogramGenerator::AudiogramConfig config;
            const std::string aspect = argv[3];
            config.aspectRatio = aspect == "vertical"    ? AudiogramGenerator::AspectRatio::vertical
                                 : aspect == "landscape" ? AudiogramGenerator::AspectRatio::landscape
                                                         : AudiogramGenerator::AspectRatio::square;
            config.maxDurationSeconds = std::stod(argv[4]);
            AudiogramGenerator().generate(argv[2], std::filesystem::path(argv[2]).concat(".mp4"), config);
            std::printf("rendered\n");
            return 0;
        }
    } catch (const std::exception& error) {
        std::printf("%s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: audio_decode_driver decode FILE | audiogram FILE ASPECT SECONDS\n");
    return 2;
}
