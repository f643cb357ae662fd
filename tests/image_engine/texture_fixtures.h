#pragma once

// Synthetic images for the texture-tool tests, written through OpenImageIO in any format it
// encodes, plus a way to run the command-line oracle.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "image_engine/packed_texture.h"

namespace morvale::test {

// Deterministic noise; alpha random too when randomAlpha, else 255.
PackedTexture noiseTexture(int width, int height, unsigned seed, bool randomAlpha = false);
// Bytes of one channel, deterministic noise.
std::vector<std::uint8_t> noisePlane(int width, int height, unsigned seed);
PackedTexture solidTexture(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                           std::uint8_t a = 255);

// Writes interleaved 8-bit pixels of `channels` channels; the format follows the extension.
// Alpha (channel 4 or 2) is stored unassociated. Extra integer attributes (e.g. Orientation).
void writeImage(const std::filesystem::path& file, int width, int height, int channels,
                const std::vector<std::uint8_t>& bytes,
                const std::vector<std::pair<std::string, int>>& attributes = {});
void writeGrey(const std::filesystem::path& file, int width, int height,
               const std::vector<std::uint8_t>& plane);
// A minimal uncompressed 8-bit RGB Photoshop file (no encoder for it exists in the image layer).
void writePSD(const std::filesystem::path& file, const PackedTexture& texture);

// Pixels of a file through OpenImageIO, as stored (no orientation), 8-bit, all channels.
struct RawImage {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<std::uint8_t> bytes;
};
RawImage readRaw(const std::filesystem::path& file);

std::string quote(const std::filesystem::path& path);
// Runs a shell command; returns its exit status.
int run(const std::string& command);
// Runs a shell command and returns what it printed on standard output.
std::string capture(const std::string& command);
std::vector<std::uint8_t> readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);

}  // namespace morvale::test
