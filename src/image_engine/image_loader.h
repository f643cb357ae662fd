#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "image_engine/packed_texture.h"
#include "image_engine/pixel_size.h"

namespace morvale {

// A file that cannot be turned into pixels: missing, not an image, truncated, or too large.
// what() is "Cannot load image <path>: <reason>."; systemError() is set when the system refused to
// open the file (no permission and the like); refusedSize() when its header names a size above the
// loader's limits.
class ImageLoadError : public std::runtime_error {
public:
    struct StoredSize {
        std::int64_t width = 0;
        std::int64_t height = 0;
    };

    ImageLoadError(const std::filesystem::path& file, const std::string& reason, std::error_code systemError = {});
    static ImageLoadError tooLarge(const std::filesystem::path& file, const std::string& reason, StoredSize size);
    const std::filesystem::path& path() const { return path_; }
    const std::string& reason() const { return reason_; }
    std::error_code systemError() const { return systemError_; }
    const std::optional<StoredSize>& refusedSize() const { return refusedSize_; }

private:
    std::filesystem::path path_;
    std::string reason_;
    std::error_code systemError_;
    std::optional<StoredSize> refusedSize_;
};

// Decodes image 0 of a file (png, tga, tif/tiff, jpg/jpeg, exr, bmp, psd, heic, ...) into 8-bit
// rasters. The pixel size is read from the header first and anything above maxSide per side or
// maxPixels in all is refused before pixel memory is allocated. Colour under alpha 0 is kept as
// stored (alpha is never premultiplied). Safe to call from many threads at once.
class ImageLoader {
public:
    static constexpr int maxSide = 16384;
    static constexpr std::int64_t maxPixels = std::int64_t{1} << 28;

    // The size stored in the header, before any orientation is applied. Throws ImageLoadError.
    static PixelSize readSize(const std::filesystem::path& file);
    // The size of the upright image, as loadRGBA8 gives it: the stored size with its sides swapped
    // for the EXIF orientations that turn a quarter (5 to 8). Reads the header only.
    static PixelSize readUprightSize(const std::filesystem::path& file);

    // The image as 8-bit straight RGBA with its EXIF orientation applied (upright). Grey images
    // are spread to R = G = B, images without alpha get A = 255. Throws ImageLoadError.
    static PackedTexture loadRGBA8(const std::filesystem::path& file);

    // Like loadRGBA8, and also says whether the file holds a single colour channel (grey or
    // grey + alpha) so that callers can read a grey map without a luma conversion. Texture maps
    // are read with applyOrientation false: their pixels are used as stored, like their size.
    struct Decoded {
        PackedTexture pixels;
        bool monochrome = false;
    };
    static Decoded load(const std::filesystem::path& file, bool applyOrientation = true);

    // A photo, upright, in sRGB: pixels are converted from the file's embedded ICC profile (CMYK
    // JPEGs included, Adobe's inverted ones too) before anything else sees them. A file without a
    // profile, or with one that cannot be used, is taken as sRGB. Throws ImageLoadError.
    static PackedTexture loadPhoto(const std::filesystem::path& file);
};

}  // namespace morvale
