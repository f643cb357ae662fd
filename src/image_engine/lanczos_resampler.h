#pragma once

#include <cstdint>
#include <stop_token>
#include <vector>

#include "image_engine/packed_texture.h"

namespace morvale {

// Separable Lanczos-3 resampling of 8-bit rasters, in the encoded (sRGB) values, every channel on
// its own (straight alpha: colour under alpha 0 is filtered like any other colour). Edges repeat
// outward. Rows are spread over the processor's cores. A target equal to the source size returns
// the bytes unchanged. A stop requested on `stop` is seen between blocks of 64 output rows and
// throws OperationCancelled.
class LanczosResampler {
public:
    // Throws std::invalid_argument for a target side below 1 or a texture whose bytes do not match
    // its size, std::length_error for a target above the loader's limits.
    static PackedTexture resample(const PackedTexture& source, int width, int height,
                                  std::stop_token stop = {});

    // The same for any interleaved 8-bit raster of `channels` channels (1 to 4).
    static std::vector<std::uint8_t> resample(const std::vector<std::uint8_t>& source, int width,
                                              int height, int channels, int targetWidth,
                                              int targetHeight, std::stop_token stop = {});
};

}  // namespace morvale
