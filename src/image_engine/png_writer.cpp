#include "image_engine/png_writer.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/atomic_file_writer.h"
#include "base/cancellation.h"
#include "image_engine/deflate_splicer.h"
#include "image_engine/png_format.h"

// Level and filters were chosen with bench_png_codec on a packed 2048² ORM map (noise-like AO,
// roughness and height beside a two-valued metallic channel, as in the packing benchmark) and a
// smooth photo-like texture; sizes relative to libpng with zlib level 6:
//  - Filters: on the packed map `up` for every row beats the per-row minimum sum (0.958 against
//    0.972 at level 7) and every other fixed filter; on the photo-like texture the minimum sum wins
//    (0.898 against 0.962 for `up`). A 32-row band compressed at level 1 picks the right one for
//    both at a cost of under 1 % of the encode; an order-0 entropy or history-weighted row cost
//    gained nothing over the minimum sum.
//  - Level 7 is the lowest whose packed maps are no larger than the zlib level 7 files other
//    tools write (1.80 MB against 1.82 MB; level 6 gives 1.85 MB in half the time, level 5
//    1.90 MB). Levels 8 and 9 gain 3 to 6 % for 2.8 to 4.6 times the time; 10 to 12 (near-optimal
//    parsing) gain 20 % for 9 to 14 times the time, too slow for batches.
// Compressing in 2 MiB pieces rather than in one call costs under 1 % in size (each piece starts
// without the previous one's 32 KiB of history; 0.2 % on a noisy 8192² map, 0.9 % on a smooth
// gradient that compresses 3000 to 1) and one pass over each piece's blocks to splice it; in return
// a stop is seen within a piece and no filtered copy of the whole image is held.

namespace morvale {

namespace {

using png_format::paeth;

std::atomic<std::uint64_t> compressedPieceCount{0};

// The two-byte zlib header libdeflate writes for a level: deflate with a 32 KiB window and the
// level's hint.
void writeZlibHeader(std::uint8_t* out, int level) {
    const unsigned levelHint = level < 2 ? 0 : level < 6 ? 1 : level < 8 ? 2 : 3;
    unsigned header = (8u << 8) | (7u << 12) | (levelHint << 6);
    header += 31 - header % 31;
    out[0] = static_cast<std::uint8_t>(header >> 8);
    out[1] = static_cast<std::uint8_t>(header & 0xff);
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};

// Filtered rows of one image: height rows of a filter byte followed by the row's filtered bytes.
class RowFilter {
public:
    RowFilter(std::size_t rowBytes, std::size_t bpp) : rowBytes_(rowBytes), bpp_(bpp) {
        for (auto& row : trial_) row.reset(new std::uint8_t[rowBytes]);
        zero_.reset(new std::uint8_t[rowBytes]());
    }

    // Writes the filter byte and rowBytes filtered bytes of `row` (prev is the row above, or null).
    void filter(const std::uint8_t* row, const std::uint8_t* prev, PngWriter::Filters choice, std::uint8_t* out) {
        if (prev == nullptr) prev = zero_.get();
        switch (choice) {
            case PngWriter::Filters::none:
                out[0] = 0;
                std::memcpy(out + 1, row, rowBytes_);
                return;
            case PngWriter::Filters::sub: out[0] = 1; sub(row, out + 1); return;
            case PngWriter::Filters::up: out[0] = 2; up(row, prev, out + 1); return;
            case PngWriter::Filters::average: out[0] = 3; average(row, prev, out + 1); return;
            case PngWriter::Filters::paeth: out[0] = 4; paethRow(row, prev, out + 1); return;
            case PngWriter::Filters::minimumSum:
            case PngWriter::Filters::sampled: break;
        }
        sub(row, trial_[0].get());
        up(row, prev, trial_[1].get());
        average(row, prev, trial_[2].get());
        paethRow(row, prev, trial_[3].get());
        const std::uint8_t* best = row;
        std::uint64_t bestSum = sumOfAbsolutes(row);
        std::uint8_t bestType = 0;
        for (std::uint8_t type = 1; type <= 4; ++type) {
            const std::uint64_t sum = sumOfAbsolutes(trial_[type - 1].get());
            if (sum < bestSum) {
                bestSum = sum;
                best = trial_[type - 1].get();
                bestType = type;
            }
        }
        out[0] = bestType;
        std::memcpy(out + 1, best, rowBytes_);
    }

private:
    void sub(const std::uint8_t* row, std::uint8_t* out) const {
        for (std::size_t i = 0; i < bpp_; ++i) out[i] = row[i];
        for (std::size_t i = bpp_; i < rowBytes_; ++i) out[i] = static_cast<std::uint8_t>(row[i] - row[i - bpp_]);
    }
    void up(const std::uint8_t* row, const std::uint8_t* prev, std::uint8_t* out) const {
        for (std::size_t i = 0; i < rowBytes_; ++i) out[i] = static_cast<std::uint8_t>(row[i] - prev[i]);
    }
    void average(const std::uint8_t* row, const std::uint8_t* prev, std::uint8_t* out) const {
        for (std::size_t i = 0; i < bpp_; ++i) out[i] = static_cast<std::uint8_t>(row[i] - (prev[i] >> 1));
        for (std::size_t i = bpp_; i < rowBytes_; ++i) {
            out[i] = static_cast<std::uint8_t>(row[i] - ((unsigned{row[i - bpp_]} + prev[i]) >> 1));
        }
    }
    void paethRow(const std::uint8_t* row, const std::uint8_t* prev, std::uint8_t* out) const {
        for (std::size_t i = 0; i < bpp_; ++i) out[i] = static_cast<std::uint8_t>(row[i] - prev[i]);
        for (std::size_t i = bpp_; i < rowBytes_; ++i) {
            out[i] = static_cast<std::uint8_t>(row[i] - paeth(row[i - bpp_], prev[i], prev[i - bpp_]));
        }
    }
    std::uint64_t sumOfAbsolutes(const std::uint8_t* bytes) const {
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < rowBytes_; ++i) {
            const unsigned v = bytes[i];
            sum += v < 128 ? v : 256 - v;
        }
        return sum;
    }

    std::size_t rowBytes_;
    std::size_t bpp_;
    std::unique_ptr<std::uint8_t[]> trial_[4];
    std::unique_ptr<std::uint8_t[]> zero_;
};

void appendChunk(std::vector<std::uint8_t>& file, std::string_view type, const std::uint8_t* data, std::size_t size) {
    std::uint8_t header[8];
    png_format::writeBE32(header, static_cast<std::uint32_t>(size));
    std::memcpy(header + 4, type.data(), 4);
    file.insert(file.end(), header, header + 8);
    if (size > 0) file.insert(file.end(), data, data + size);
    std::uint32_t crc = libdeflate_crc32(0, header + 4, 4);
    if (size > 0) crc = libdeflate_crc32(crc, data, size);
    std::uint8_t trailer[4];
    png_format::writeBE32(trailer, crc);
    file.insert(file.end(), trailer, trailer + 4);
}

void filterRows(const std::uint8_t* pixels, std::size_t rowBytes, std::size_t bpp, std::size_t first,
                std::size_t count, PngWriter::Filters filters, std::uint8_t* out) {
    RowFilter rowFilter(rowBytes, bpp);
    for (std::size_t y = first; y < first + count; ++y) {
        const std::uint8_t* row = pixels + y * rowBytes;
        rowFilter.filter(row, y > 0 ? row - rowBytes : nullptr, filters, out + (y - first) * (rowBytes + 1));
    }
}

// Up suits maps whose rows change slowly (noise-like PBR channels side by side); the per-row
// minimum suits photographs and gradients. A band of 32 rows from the middle, compressed at the
// fastest level, tells which one this image is.
PngWriter::Filters sampledChoice(const std::uint8_t* pixels, std::size_t width, std::size_t height, std::size_t bpp) {
    const std::size_t count = std::min<std::size_t>(height, 32);
    const std::size_t first = (height - count) / 2;
    const std::size_t rowBytes = width * bpp;
    const std::size_t size = count * (rowBytes + 1);
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> fast(libdeflate_alloc_compressor(1));
    if (!fast) return PngWriter::Filters::minimumSum;
    std::unique_ptr<std::uint8_t[]> band(new std::uint8_t[size]);
    const std::size_t bound = libdeflate_zlib_compress_bound(fast.get(), size);
    std::unique_ptr<std::uint8_t[]> scratch(new std::uint8_t[bound]);
    std::size_t best = SIZE_MAX;
    PngWriter::Filters choice = PngWriter::Filters::minimumSum;
    for (const auto candidate : {PngWriter::Filters::minimumSum, PngWriter::Filters::up}) {
        filterRows(pixels, rowBytes, bpp, first, count, candidate, band.get());
        const std::size_t compressed = libdeflate_zlib_compress(fast.get(), band.get(), size, scratch.get(), bound);
        if (compressed != 0 && compressed < best) {
            best = compressed;
            choice = candidate;
        }
    }
    return choice;
}

void appendBE32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    std::uint8_t b[4];
    png_format::writeBE32(b, value);
    bytes.insert(bytes.end(), b, b + 4);
}

}  // namespace

std::vector<std::uint8_t> PngWriter::encode(const std::uint8_t* pixels, int width, int height, Layout layout,
                                            const Options& options) {
    if (pixels == nullptr || width < 1 || height < 1) {
        throw PngWriteError("Cannot encode a PNG without pixels.");
    }
    const auto channels = static_cast<std::size_t>(layout);
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    // Sides fit the format (int is at most 2^31 - 1); the raster's size must fit memory sizes.
    if (w > (SIZE_MAX / 2 - 1) / channels / h) {
        throw PngWriteError("Cannot encode a PNG of " + std::to_string(width) + "x" + std::to_string(height) +
                            " pixels: too large.");
    }
    const std::size_t rowBytes = w * channels;

    std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(std::clamp(options.level, 1, 12)));
    if (!compressor) {
        throw PngWriteError("Cannot encode a PNG: out of memory for the compressor.");
    }
    const Filters filters = options.filters == Filters::sampled ? sampledChoice(pixels, w, h, channels)
                                                                 : options.filters;
    std::vector<std::uint8_t> file;
    file.insert(file.end(), png_format::signature.begin(), png_format::signature.end());
    std::vector<std::uint8_t> ihdr;
    appendBE32(ihdr, static_cast<std::uint32_t>(width));
    appendBE32(ihdr, static_cast<std::uint32_t>(height));
    const std::uint8_t colourType = layout == Layout::grey ? 0 : layout == Layout::rgb ? 2 : 6;
    for (const std::uint8_t b : {std::uint8_t{8}, colourType, std::uint8_t{0}, std::uint8_t{0}, std::uint8_t{0}}) {
        ihdr.push_back(b);
    }
    appendChunk(file, "IHDR", ihdr.data(), ihdr.size());
    if (options.sRGB) {
        // gAMA and cHRM carry the sRGB values for decoders that do not know the sRGB chunk.
        std::vector<std::uint8_t> gama;
        appendBE32(gama, 45455);
        appendChunk(file, "gAMA", gama.data(), gama.size());
        const std::uint8_t perceptual = 0;
        appendChunk(file, "sRGB", &perceptual, 1);
        std::vector<std::uint8_t> chrm;
        for (const std::uint32_t v : {31270u, 32900u, 64000u, 33000u, 30000u, 60000u, 15000u, 6000u}) {
            appendBE32(chrm, v);
        }
        appendChunk(file, "cHRM", chrm.data(), chrm.size());
    }

    // Each piece is whole rows, filtered and compressed on its own; every piece but the last is
    // made to go on into the next, so that the IDAT chunks hold one zlib stream.
    const std::size_t filteredRow = rowBytes + 1;
    const std::size_t rowsPerPiece = std::max<std::size_t>(1, pieceBytes / filteredRow);
    const std::size_t pieceSize = std::min(h, rowsPerPiece) * filteredRow;
    std::unique_ptr<std::uint8_t[]> filtered(new std::uint8_t[pieceSize]);
    const std::size_t bound = libdeflate_deflate_compress_bound(compressor.get(), pieceSize);
    // Room for the zlib header before, and the splice or the checksum after, the deflate bytes.
    const std::size_t idatSize = 2 + bound + std::max<std::size_t>(DeflateSplicer::slack, 4);
    if (idatSize > png_format::maxChunkLength) {
        throw PngWriteError("Cannot encode a PNG of " + std::to_string(width) + "x" + std::to_string(height) +
                            " pixels: too large.");
    }
    std::unique_ptr<std::uint8_t[]> idat(new std::uint8_t[idatSize]);
    std::uint32_t adler = 1;
    for (std::size_t first = 0; first < h; first += rowsPerPiece) {
        throwIfStopRequested(options.stop);
        const std::size_t rows = std::min(rowsPerPiece, h - first);
        const std::size_t size = rows * filteredRow;
        filterRows(pixels, rowBytes, channels, first, rows, filters, filtered.get());
        adler = libdeflate_adler32(adler, filtered.get(), size);
        std::size_t length = 0;
        if (first == 0) {
            writeZlibHeader(idat.get(), std::clamp(options.level, 1, 12));
            length = 2;
        }
        const std::size_t deflated =
            libdeflate_deflate_compress(compressor.get(), filtered.get(), size, idat.get() + length, bound);
        compressedPieceCount.fetch_add(1, std::memory_order_relaxed);
        if (deflated == 0) {
            throw PngWriteError("Cannot encode a PNG: the compressor failed.");
        }
        const bool last = first + rows >= h;
        if (last) {
            length += deflated;
            png_format::writeBE32(idat.get() + length, adler);
            length += 4;
        } else {
            const std::size_t open = DeflateSplicer::makeContinuable(idat.get() + length, deflated);
            if (open == 0) {
                throw PngWriteError("Cannot encode a PNG: the compressor's output cannot be joined.");
            }
            length += open;
        }
        appendChunk(file, "IDAT", idat.get(), length);
    }
    static constexpr std::uint8_t iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
    file.insert(file.end(), iend, iend + sizeof iend);
    return file;
}

std::uint64_t PngWriter::piecesCompressed() { return compressedPieceCount.load(std::memory_order_relaxed); }

void PngWriter::write(const std::filesystem::path& destination, const std::uint8_t* pixels, int width, int height,
                      Layout layout, const Options& options) {
    const std::vector<std::uint8_t> file = encode(pixels, width, height, layout, options);
    AtomicFileWriter::writeFile(destination,
                                std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
}

}  // namespace morvale
