#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "image_engine/packed_texture.h"

namespace morvale {

// Decodes JPEG photos with libjpeg-turbo straight into an RGBA raster, with the file's ICC profile.
// CMYK (and YCCK) files come out as their stored ink samples, so that they can be colour-managed
// rather than mixed to RGB as if the inks were ideal. The pixels are those the general decoder
// gives (same library, same settings); the photo path takes this road for speed and for CMYK.
// Internal to the image engine; safe to call from many threads at once.
class JpegPhotoReader {
public:
    struct Decoded {
        PackedTexture pixels;               // RGBA (A = 255), or C, M, Y, K bytes when cmyk
        bool cmyk = false;
        bool inverted = false;              // CMYK in Adobe's convention: 0 is full ink
        std::vector<std::uint8_t> profile;  // the embedded ICC profile, or empty
    };

    // Nothing when the file is no JPEG. Throws std::runtime_error with the decoder's message for a
    // JPEG that cannot be decoded. The caller has checked the size against its limits.
    static std::optional<Decoded> read(const std::filesystem::path& file);
};

}  // namespace morvale
