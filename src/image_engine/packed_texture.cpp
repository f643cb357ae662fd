#include "image_engine/packed_texture.h"

#include <algorithm>
#include <utility>

#include "base/cancellation.h"
#include "image_engine/channel_packer.h"
#include "image_engine/png_writer.h"

namespace morvale {

bool PackedTexture::isValid() const {
    return width > 0 && height > 0 &&
           rgba.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
}

PackedTexture PackedTexture::zeroed(int width, int height, const std::stop_token& stop) {
    constexpr std::size_t block = std::size_t{16} << 20;
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    PackedTexture out;
    out.width = width;
    out.height = height;
    out.rgba.reserve(size);
    while (out.rgba.size() < size) {
        throwIfStopRequested(stop);
        out.rgba.resize(std::min(size, out.rgba.size() + block));
    }
    return out;
}

PackedTexture PackedTexture::halved(std::stop_token stop) const {
    if (!isValid()) {
        throw ChannelPacker::PackingError::compositionFailed();
    }
    PackedTexture out = zeroed(std::max(1, width / 2), std::max(1, height / 2), stop);
    const auto stride = static_cast<std::size_t>(width) * 4;
    for (int y = 0; y < out.height; ++y) {
        if (y % 64 == 0) throwIfStopRequested(stop);
        const auto y0 = static_cast<std::size_t>(std::min(2 * y, height - 1));
        const auto y1 = static_cast<std::size_t>(std::min(2 * y + 1, height - 1));
        const std::uint8_t* row0 = rgba.data() + y0 * stride;
        const std::uint8_t* row1 = rgba.data() + y1 * stride;
        std::uint8_t* dst = out.rgba.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(out.width) * 4;
        for (int x = 0; x < out.width; ++x) {
            const auto x0 = static_cast<std::size_t>(std::min(2 * x, width - 1)) * 4;
            const auto x1 = static_cast<std::size_t>(std::min(2 * x + 1, width - 1)) * 4;
            for (std::size_t c = 0; c < 4; ++c) {
                const unsigned sum = 2u + row0[x0 + c] + row0[x1 + c] + row1[x0 + c] + row1[x1 + c];
                dst[static_cast<std::size_t>(x) * 4 + c] = static_cast<std::uint8_t>(sum / 4u);
            }
        }
    }
    return out;
}

void PackedTexture::writePNG(const std::filesystem::path& destination, std::stop_token stop) const {
    writePNG(*this, destination, std::move(stop));
}

void PackedTexture::writePNG(const PackedTexture& texture, const std::filesystem::path& destination,
                             std::stop_token stop) {
    if (!texture.isValid()) {
        throw ChannelPacker::PackingError::compositionFailed();
    }
    try {
        PngWriter::Options options;
        options.stop = std::move(stop);
        PngWriter::write(destination, texture.rgba.data(), texture.width, texture.height, PngWriter::Layout::rgba,
                         options);
    } catch (const PngWriteError&) {
        throw ChannelPacker::PackingError::compositionFailed();
    }
}

}  // namespace morvale
