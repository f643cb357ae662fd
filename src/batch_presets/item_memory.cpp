#include "batch_presets/item_memory.h"

#include <algorithm>

#include "batch_presets/morvale_preset.h"
#include "batch_presets/varnholt_preset.h"
#include "image_engine/image_loader.h"

namespace morvale {

namespace {

constexpr std::uint64_t fixedBytes = std::uint64_t{64} << 20;

std::uint64_t pixels(PixelSize size) {
    return static_cast<std::uint64_t>(std::max(size.width, 0)) * static_cast<std::uint64_t>(std::max(size.height, 0));
}

}  // namespace

std::uint64_t ItemMemory::texture(const MorvalePreset& preset, const std::filesystem::path& source) {
    using Mode = MorvalePreset::OperationalMode;
    // Measured at 8192²: packing 9.1, normal conversion 8.0, normal from height 8.1, power of two
    // with mipmaps 14.4, tiling check 8.0 bytes per pixel. Sprite-sheet frames are small images of
    // their own, packed into pages whose size the compiler bounds.
    std::uint64_t perPixel = 0;
    switch (preset.operationalMode) {
        case Mode::channelPackingORM: perPixel = 10; break;
        case Mode::normalMapConvert: perPixel = 9; break;
        case Mode::normalFromHeight: perPixel = 9; break;
        case Mode::powerOfTwoEnforce: perPixel = 15; break;
        case Mode::tilingCheck: perPixel = 9; break;
        case Mode::spriteSheetAtlas: return 0;
    }
    try {
        const PixelSize size = ImageLoader::readSize(source);
        std::uint64_t count = pixels(size);
        // Scaling up to the next power of two works at the larger size.
        if (preset.operationalMode == Mode::powerOfTwoEnforce) {
            count = std::max(count, pixels(preset.targetSize(size.width, size.height)));
        }
        return perPixel * count + fixedBytes;
    } catch (const std::exception&) {
        return 0;
    }
}

std::uint64_t ItemMemory::listing(const VarnholtPreset&, const std::filesystem::path& source) {
    // Measured at 8192² with the default options: 9.6 bytes per pixel.
    constexpr std::uint64_t perPixel = 10;
    try {
        return perPixel * pixels(ImageLoader::readUprightSize(source)) + fixedBytes;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace morvale
