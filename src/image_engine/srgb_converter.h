#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "image_engine/packed_texture.h"

namespace morvale {

// Brings decoded photo pixels from the colour space their embedded ICC profile describes into
// sRGB, the space every photo tool and every photo output of this program works in (LittleCMS,
// relative colorimetric, as browsers and colour-managed viewers show photos). Texture maps never
// come here: their channels are data, not colour.
//
// No state; safe to call from many threads at once.
class SrgbConverter {
public:
    // Converts RGBA pixels in place (alpha untouched) from an RGB or grey profile; grey pixels are
    // those spread to R = G = B by the loader. A profile that cannot be read, or whose colour space
    // is neither RGB nor grey, leaves the pixels as they are and answers false; an sRGB profile
    // leaves them as they are too, already right.
    static bool convert(PackedTexture& pixels, std::span<const std::uint8_t> profile);

    // CMYK samples, four bytes a pixel, turned in place into opaque sRGB RGBA. `inverted` is
    // Adobe's convention (0 is full ink), which Photoshop and most CMYK JPEGs use. Without a usable
    // CMYK profile the inks are mixed naively, as a reader without colour management shows them.
    static void convertCMYK(PackedTexture& samples, std::span<const std::uint8_t> profile, bool inverted);

    // An sRGB ICC profile to embed in outputs, so that readers need not guess their space.
    static const std::vector<std::uint8_t>& sRGBProfile();
};

}  // namespace morvale
