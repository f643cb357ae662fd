#pragma once

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <vector>

namespace morvale {

// The in-memory result of every texture tool: 8-bit RGBA, straight (not premultiplied) alpha,
// rows from the top of the image down, packed without gaps (rgba.size() == width * height * 4).
struct PackedTexture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;

    // True when the size is at least 1 x 1 and the byte count matches it.
    bool isValid() const;

    // A texture of zero bytes. Its memory is touched a block at a time and a stop requested on
    // `stop` throws OperationCancelled between blocks: on a busy machine the page faults of a
    // 16384 x 16384 raster alone take seconds.
    static PackedTexture zeroed(int width, int height, const std::stop_token& stop);

    // The next mip level: sides max(1, n / 2); each channel, alpha included, is the rounded mean of
    // a 2 x 2 block ((a + b + c + d + 2) / 4). An odd last column or row is dropped; a side of 1
    // repeats its pixels. A stop requested on `stop` throws OperationCancelled within a block of rows.
    PackedTexture halved(std::stop_token stop = {}) const;

    // Writes the texture as an 8-bit RGBA PNG whatever the file's extension, creating the parent
    // folders. The bytes go to a temporary file beside the destination, which is then renamed into
    // place. Folder errors throw std::filesystem::filesystem_error; an invalid texture or a failed
    // encode throws ChannelPacker::PackingError (compositionFailed). A stop requested on `stop`
    // throws OperationCancelled and leaves no file.
    void writePNG(const std::filesystem::path& destination, std::stop_token stop = {}) const;
    static void writePNG(const PackedTexture& texture, const std::filesystem::path& destination,
                         std::stop_token stop = {});

    bool operator==(const PackedTexture&) const = default;
};

}  // namespace morvale
