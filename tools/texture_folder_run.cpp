// One power-of-two run with mipmaps through the batch queue, as the window starts it: COUNT textures of
// SIDE x SIDE pixels named PREFIX1.png ... (made in SOURCES the first time) are written into OUTPUT.
// Several of these started into one OUTPUT, from different containers or machines, show what one
// instance's start does to another's files in progress. Prints the log and each item's outcome, then
// "<completed>/<count> completed"; exits 0 only when every item completed.
//
//   texture_folder_run SOURCES PREFIX OUTPUT [COUNT=4] [SIDE=4096]

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "batch_presets/texture_test_support.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;

// Busy enough that the encoder takes a while over each level.
test::Rgba pattern(int x, int y, int seed) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u +
                      static_cast<std::uint32_t>(seed) * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    const auto v = static_cast<std::uint8_t>((x + y) / 32 + (h & 0x3f));
    return {v, static_cast<std::uint8_t>(v ^ (h >> 8)), static_cast<std::uint8_t>(x / 16), 255};
}

int run(const fs::path& sources, const std::string& prefix, const fs::path& output, int count, int side) {
    std::vector<fs::path> files;
    for (int i = 1; i <= count; ++i) {
        const fs::path file = sources / (prefix + std::to_string(i) + ".png");
        if (!fs::exists(file)) {
            fs::create_directories(sources);
            const auto pixel = [&](int x, int y) { return pattern(x, y, i); };
            PackedTexture::writePNG(test::makeTexture(side, side, pixel), file);
        }
        files.push_back(file);
    }
    MorvalePreset preset = test::texturePreset(MorvalePreset::OperationalMode::powerOfTwoEnforce);
    preset.generateMipmaps = true;
    const test::RunResult result = test::runTextureJob(preset, files, output, "{name}_{pot}", count);
    for (const auto& line : result.log) std::cout << "log: " << line << "\n";
    int completed = 0;
    for (const auto& item : result.items) {
        std::cout << item.source.filename().string() << ": " << rawValue(item.status);
        if (!item.message.empty()) std::cout << " (" << item.message << ")";
        std::cout << "\n";
        if (item.status == ProcessingStatus::completed) ++completed;
    }
    std::cout << prefix << ": " << completed << "/" << count << " completed" << std::endl;
    return completed == count ? 0 : 1;
}

}  // namespace
}  // namespace morvale

int main(int argc, char** argv) {
    if (argc < 4 || argc > 6) {
        std::cerr << "usage: texture_folder_run SOURCES PREFIX OUTPUT [COUNT=4] [SIDE=4096]\n";
        return 2;
    }
    try {
        const int count = argc > 4 ? std::atoi(argv[4]) : 4;
        const int side = argc > 5 ? std::atoi(argv[5]) : 4096;
        return morvale::run(argv[1], argv[2], argv[3], count, side);
    } catch (const std::exception& error) {
        std::cerr << "texture_folder_run: " << error.what() << "\n";
        return 2;
    }
}
