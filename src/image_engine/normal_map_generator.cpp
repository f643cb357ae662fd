#include "image_engine/normal_map_generator.h"

#include <algorithm>
#include <cmath>

#include "base/ascii.h"
#include "base/cancellation.h"
#include "image_engine/image_size_rules.h"
#include "image_engine/texture_map_names.h"

namespace morvale {

namespace fs = std::filesystem;

PackedTexture NormalMapGenerator::fromHeight(const fs::path& heightMap, double strength,
                                             ChannelPacker::NormalConvention convention, int maxSize, bool wrap,
                                             std::stop_token stop) {
    if (!std::isfinite(strength)) {
        throw std::invalid_argument("Normal-map strength must be a number.");
    }
    const auto stored = ChannelPacker::pixelSize(heightMap);
    if (!stored) {
        throw ChannelPacker::PackingError::cannotRead(heightMap);
    }
    const PixelSize size = ChannelPacker::normalMapSize(*stored, maxSize);
    const auto plane = ChannelPacker::loadGrayscale(heightMap, size.width, size.height, stop);
    if (!plane) {
        throw ChannelPacker::PackingError::cannotRead(heightMap);
    }
    const int w = size.width;
    const int h = size.height;
    const double k = strength / 255.0;
    const double ySign = convention == ChannelPacker::NormalConvention::openGL ? 1.0 : -1.0;

    auto column = [&](int x) { return wrap ? (x + w) % w : std::clamp(x, 0, w - 1); };
    auto row = [&](int y) { return wrap ? (y + h) % h : std::clamp(y, 0, h - 1); };
    auto toByte = [](double component) {
        const double v = (component * 0.5 + 0.5) * 255.0 + 0.5;
        return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
    };

    PackedTexture out;
    out.width = w;
    out.height = h;
    out.rgba.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 255);
    const std::uint8_t* H = plane->data();
    for (int y = 0; y < h; ++y) {
        if (y % 64 == 0) throwIfStopRequested(stop);
        const std::size_t up = static_cast<std::size_t>(row(y - 1)) * static_cast<std::size_t>(w);
        const std::size_t mid = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        const std::size_t down = static_cast<std::size_t>(row(y + 1)) * static_cast<std::size_t>(w);
        for (int x = 0; x < w; ++x) {
            const auto l = static_cast<std::size_t>(column(x - 1));
            const auto c = static_cast<std::size_t>(x);
            const auto r = static_cast<std::size_t>(column(x + 1));
            const int gx = (H[up + r] + 2 * H[mid + r] + H[down + r]) - (H[up + l] + 2 * H[mid + l] + H[down + l]);
            const int gy = (H[down + l] + 2 * H[down + c] + H[down + r]) - (H[up + l] + 2 * H[up + c] + H[up + r]);
            const double nx = -gx * k;
            const double ny = ySign * gy * k;
            const double length = std::sqrt(nx * nx + ny * ny + 1.0);
            std::uint8_t* px = out.rgba.data() + (mid + c) * 4;
            px[0] = toByte(nx / length);
            px[1] = toByte(ny / length);
            px[2] = toByte(1.0 / length);
        }
    }
    return out;
}

NormalMapGenerator::HeightStem NormalMapGenerator::stem(const fs::path& file) {
    static const std::string_view suffixes[] = {"_Displacement", "_Height", "_Disp", "_Bump"};
    const std::string base = file.stem().string();
    for (const std::string_view suffix : suffixes) {
        if (auto stemText = texture_map_names::stemBefore(base, suffix)) {
            return {std::move(*stemText), true};
        }
    }
    return {base, false};
}

bool NormalMapGenerator::hasNormalMap(const std::string& stemText, const fs::path& folder) {
    return hasNormalMap(stemText, FolderListing::read(folder));
}

bool NormalMapGenerator::hasNormalMap(const std::string& stemText, const FolderListing& folder) {
    const ChannelPacker packer;
    // A normal map of the stem is named the stem followed by its suffix.
    for (const FolderListing::Entry* entry : folder.startingWithIgnoringCase(stemText)) {
        std::string extension = ascii::lowered(entry->path.extension().string());
        if (!extension.empty()) {
            extension.erase(0, 1);
        }
        if (ChannelPacker::imageExtensions().count(extension) == 0) {
            continue;
        }
        const auto normal = packer.identifyNormal(entry->path);
        if (normal && ascii::equalsIgnoringCase(normal->stem, stemText)) {
            return true;
        }
    }
    return false;
}

}  // namespace morvale
