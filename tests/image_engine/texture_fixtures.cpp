#include "texture_fixtures.h"

#include <OpenImageIO/imageio.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace morvale::test {

namespace fs = std::filesystem;

PackedTexture noiseTexture(int width, int height, unsigned seed, bool randomAlpha) {
    PackedTexture texture;
    texture.width = width;
    texture.height = height;
    texture.rgba.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < texture.rgba.size(); ++i) {
        texture.rgba[i] = (i % 4 == 3 && !randomAlpha) ? 255 : static_cast<std::uint8_t>(random());
    }
    return texture;
}

std::vector<std::uint8_t> noisePlane(int width, int height, unsigned seed) {
    std::vector<std::uint8_t> plane(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    std::mt19937 random(seed);
    for (auto& value : plane) {
        value = static_cast<std::uint8_t>(random());
    }
    return plane;
}

PackedTexture solidTexture(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
    PackedTexture texture;
    texture.width = width;
    texture.height = height;
    for (int i = 0; i < width * height; ++i) {
        texture.rgba.insert(texture.rgba.end(), {r, g, b, a});
    }
    return texture;
}

void writeImage(const fs::path& file, int width, int height, int channels, const std::vector<std::uint8_t>& bytes,
                const std::vector<std::pair<std::string, int>>& attributes) {
    auto out = OIIO::ImageOutput::create(file.string());
    if (!out) {
        throw std::runtime_error("no writer for " + file.string());
    }
    OIIO::ImageSpec spec(width, height, channels, OIIO::TypeDesc::UINT8);
    if (channels == 2 || channels == 4) {
        spec.alpha_channel = channels - 1;
    }
    spec.attribute("oiio:UnassociatedAlpha", 1);
    for (const auto& [name, value] : attributes) {
        spec.attribute(name, value);
    }
    if (!out->open(file.string(), spec) || !out->write_image(OIIO::TypeDesc::UINT8, bytes.data()) || !out->close()) {
        throw std::runtime_error("cannot write " + file.string() + ": " + out->geterror());
    }
}

void writeGrey(const fs::path& file, int width, int height, const std::vector<std::uint8_t>& plane) {
    writeImage(file, width, height, 1, plane);
}

namespace {
void put16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}
void put32(std::vector<std::uint8_t>& out, unsigned value) {
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}
}  // namespace

void writePSD(const fs::path& file, const PackedTexture& texture) {
    std::vector<std::uint8_t> out = {'8', 'B', 'P', 'S'};
    put16(out, 1);
    out.insert(out.end(), 6, 0);
    put16(out, 3);  // channels
    put32(out, static_cast<unsigned>(texture.height));
    put32(out, static_cast<unsigned>(texture.width));
    put16(out, 8);  // bits per channel
    put16(out, 3);  // RGB
    put32(out, 0);  // colour mode data
    put32(out, 0);  // image resources
    put32(out, 0);  // layers and masks
    put16(out, 0);  // raw image data, planar
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t i = 0; i < texture.rgba.size(); i += 4) {
            out.push_back(texture.rgba[i + c]);
        }
    }
    writeBytes(file, out);
}

RawImage readRaw(const fs::path& file) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(file.string(), &config);
    if (!in) {
        throw std::runtime_error("cannot open " + file.string() + ": " + OIIO::geterror());
    }
    RawImage image;
    image.width = in->spec().width;
    image.height = in->spec().height;
    image.channels = in->spec().nchannels;
    image.bytes.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) *
                       static_cast<std::size_t>(image.channels));
    if (!in->read_image(0, 0, 0, image.channels, OIIO::TypeDesc::UINT8, image.bytes.data())) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return image;
}

std::string quote(const fs::path& path) {
    std::string text = "'";
    for (const char c : path.string()) {
        if (c == '\'') {
            text += "'\\''";
        } else {
            text += c;
        }
    }
    return text + "'";
}

int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string capture(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    pclose(pipe);
    return output;
}

std::vector<std::uint8_t> readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace morvale::test

// Leaks inside third-party code that the tests reach: the HEIC encoder's start-up allocations and
// the image library's per-thread error strings. Read only when the leak checker runs.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265\nleak:OpenImageIO_v2_4::ImageInput::geterror\n";
}
