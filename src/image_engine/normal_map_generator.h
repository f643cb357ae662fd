#pragma once

#include <filesystem>
#include <stop_token>
#include <string>

#include "base/folder_listing.h"
#include "image_engine/channel_packer.h"
#include "image_engine/packed_texture.h"

namespace morvale {

// Tangent-space normal maps from grey height maps.
class NormalMapGenerator {
public:
    NormalMapGenerator() = delete;

    // Sobel slopes of the height map, scaled by strength / 255, in the given convention. A maxSize
    // above 0 limits the longer side. With wrap the edges read the opposite edge, else they repeat.
    // Throws ChannelPacker::PackingError (cannotRead); std::invalid_argument for a strength that is
    // not a finite number. A stop requested on `stop` throws OperationCancelled while the map is
    // read or within a block of rows.
    static PackedTexture fromHeight(const std::filesystem::path& heightMap, double strength,
                                    ChannelPacker::NormalConvention convention, int maxSize,
                                    bool wrap, std::stop_token stop = {});

    struct HeightStem {
        std::string stem;
        bool isNamedHeight = false;
        bool operator==(const HeightStem&) const = default;
    };
    // The name without extension and without a height suffix ("_Displacement", "_Height", "_Disp",
    // "_Bump", case-insensitive).
    static HeightStem stem(const std::filesystem::path& file);

    // True when the folder holds an image that names itself a normal map of that stem (hidden
    // files included). The second form looks in a listing already made.
    static bool hasNormalMap(const std::string& stem, const std::filesystem::path& folder);
    static bool hasNormalMap(const std::string& stem, const FolderListing& folder);
};

}  // namespace morvale
