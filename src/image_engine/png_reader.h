#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>

#include "image_engine/packed_texture.h"

namespace morvale {

// A PNG file the fast reader took on and found damaged: a bad CRC, a cut-short file, a broken,
// short or overlong zlib stream, a bad filter byte, an invalid header, or a size beyond the
// limits. what() is the reason, phrased to follow "Cannot load image <file>: ".
class PngReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The fast read path for the PNG files texture maps usually are: not interlaced; grey, RGB, grey +
// alpha or RGBA at 8 or 16 bits; palette at any depth; tRNS on grey, RGB and palette images. The
// chunks are walked and checked, the zlib stream is inflated by libdeflate in one call into a
// buffer whose size the header fixes, and the rows are unfiltered and spread to 8-bit straight
// RGBA. The pixels are those OpenImageIO gives for the same file: 16-bit samples become
// (v * 255 + 32767) / 65535, a tRNS colour becomes alpha 0 and every other pixel alpha 255,
// gamma, colour-profile and text chunks leave the pixels as stored.
//
// Everything else returns nothing, for the caller to decode another way: another format,
// interlacing, grey below 8 bits, unknown critical chunks, unusual chunk order, a tRNS chunk
// out of range, a palette index beyond the palette, or (when asked) EXIF data that may rotate the
// image. Limits are checked on the header before any pixel memory is allocated.
// Stateless; safe to call from many threads at once.
class PngReader {
public:
    struct Options {
        int maxSide = 16384;
        std::int64_t maxPixels = std::int64_t{1} << 28;
        // When the caller applies EXIF orientation, files carrying EXIF (eXIf, or a raw profile
        // in a text chunk) are left to the general decoder, which reads it.
        bool leaveFilesWithExif = false;
        // Decoding stops with OperationCancelled, between steps and every few hundred rows.
        std::stop_token stop;
    };

    struct Decoded {
        PackedTexture pixels;
        bool monochrome = false;  // grey or grey + alpha
    };

    // Throws PngReadError for a damaged PNG.
    static std::optional<Decoded> decode(std::span<const std::uint8_t> file, const Options& options);

    // The same for a file on disk; nothing as well when it cannot be opened or read, for the
    // general decoder to say why.
    static std::optional<Decoded> decodeFile(const std::filesystem::path& file, const Options& options);
};

}  // namespace morvale
