#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <stop_token>
#include <vector>

namespace morvale {

// The encoder ran out of memory or was handed a raster it cannot describe (no pixels, a side
// beyond the format's 2^31 - 1). what() says which.
class PngWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Our PNG encoder for the texture outputs: 8-bit grey, RGB or RGBA, not interlaced, straight
// alpha, so colour under transparent pixels is written as given. Each row gets the filter that
// the chosen heuristic prefers. Rows are filtered and compressed by libdeflate in pieces of about
// pieceBytes, each piece one IDAT chunk, the pieces spliced into one zlib stream; an image of one
// piece comes out as libdeflate's zlib stream of all its rows. The file is signature, IHDR, the
// optional colour chunks, the IDAT chunks and IEND.
// Stateless; safe to call from many threads at once.
class PngWriter {
public:
    enum class Layout { grey = 1, rgb = 3, rgba = 4 };  // the value is the channel count

    // Row filters: one fixed filter for every row; per row the one whose output has the smallest
    // sum of absolute values read as signed bytes; or `sampled`: whichever of `up` and
    // `minimumSum` compresses a band of rows from the middle of the image smaller.
    enum class Filters { none, sub, up, average, paeth, minimumSum, sampled };

    // Chosen by measurement (bench_png_codec); the reasons are in the .cpp.
    static constexpr int defaultLevel = 7;
    static constexpr Filters defaultFilters = Filters::sampled;

    // Filtered bytes per piece: at most a tenth of a second of compression on noise-like maps.
    static constexpr std::size_t pieceBytes = std::size_t{2} << 20;

    struct Options {
        int level = defaultLevel;  // libdeflate level, 1 to 12
        Filters filters = defaultFilters;
        bool sRGB = false;         // mark the pixels as sRGB (sRGB chunk with gAMA and cHRM beside it)
        std::stop_token stop;      // asked between pieces: throws OperationCancelled
    };

    // The PNG file for `height` rows of `width` pixels packed without gaps, channels as `layout`.
    // Throws PngWriteError.
    static std::vector<std::uint8_t> encode(const std::uint8_t* pixels, int width, int height, Layout layout,
                                            const Options& options);
    static std::vector<std::uint8_t> encode(const std::uint8_t* pixels, int width, int height, Layout layout) {
        return encode(pixels, width, height, layout, Options{});
    }

    // Pieces compressed by this process so far, whatever the image: lets a test or benchmark see
    // how much work an encode did after it was asked to stop.
    static std::uint64_t piecesCompressed();

    // Encodes and writes through a temporary file beside the destination renamed into place,
    // creating missing folders; a stop leaves no file. Throws PngWriteError, AtomicWriteError or
    // OperationCancelled.
    static void write(const std::filesystem::path& destination, const std::uint8_t* pixels, int width, int height,
                      Layout layout, const Options& options);
    static void write(const std::filesystem::path& destination, const std::uint8_t* pixels, int width, int height,
                      Layout layout) {
        write(destination, pixels, width, height, layout, Options{});
    }
};

}  // namespace morvale
