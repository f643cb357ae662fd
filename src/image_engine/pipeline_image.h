#pragma once

#include "image_engine/image_properties.h"
#include "image_engine/packed_texture.h"

namespace morvale {

// An image travelling through the shared pipeline: upright 8-bit straight-alpha RGBA pixels and
// the metadata of the file it came from (whose orientation tag still says how it was shot).
struct PipelineImage {
    PackedTexture pixels;
    ImageProperties properties;

    int width() const { return pixels.width; }
    int height() const { return pixels.height; }

    bool operator==(const PipelineImage&) const = default;
};

}  // namespace morvale
