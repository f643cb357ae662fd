#include "image_engine/png_writer.h"

#include <libdeflate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/atomic_file_writer.h"
#include "image_engine/png_format.h"

// Level and filters were chosen with bench_png_codec on packed ORM maps (noise-like AO,
// roughness and height beside a two-valued metallic channel) and on smooth photo-like textures:
//  - Per-row minimum-sum filtering beat every fixed filter by 6 to 25 % in size at a cost of a
//    few milliseconds per 2048² map, far below the compressor's.
//  - libdeflate level 7 is the knee of the curve: levels 1 to 6 come out larger than the zlib
//    level 7 files other tools write, levels 8 and 9 gain under 1 % for about 1.5 times the time,
//    and 10 to 12 (near-optimal parsing) gain 3 to 5 % for 4 to 10 times the time.

namespace morvale {

namespace {

using png_format::paeth;

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
            case PngWriter::Filters::minimumEntropy: break;
        }
        const bool byEntropy = choice == PngWriter::Filters::minimumEntropy;
        sub(row, trial_[0].get());
        up(row, prev, trial_[1].get());
        average(row, prev, trial_[2].get());
        paethRow(row, prev, trial_[3].get());
        const std::uint8_t* best = row;
        double bestSum = byEntropy ? entropy(row) : static_cast<double>(sumOfAbsolutes(row));
        std::uint8_t bestType = 0;
        for (std::uint8_t type = 1; type <= 4; ++type) {
            const std::uint8_t* t = trial_[type - 1].get();
            const double sum = byEntropy ? entropy(t) : static_cast<double>(sumOfAbsolutes(t));
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

    // The row's size in bits under an order-0 code of its own byte frequencies.
    double entropy(const std::uint8_t* bytes) const {
        std::uint32_t counts[256] = {};
        for (std::size_t i = 0; i < rowBytes_; ++i) ++counts[bytes[i]];
        double bits = 0;
        const double total = static_cast<double>(rowBytes_);
        for (const std::uint32_t c : counts) {
            if (c != 0) bits -= c * std::log2(c / total);
        }
        return bits;
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
    // Sides fit the format (int is at most 2^31 - 1); the filtered size must fit memory sizes.
    if (w > (SIZE_MAX / 2 - 1) / channels / h) {
        throw PngWriteError("Cannot encode a PNG of " + std::to_string(width) + "x" + std::to_string(height) +
                            " pixels: too large.");
    }
    const std::size_t rowBytes = w * channels;
    const std::size_t filteredSize = h * (rowBytes + 1);

    std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(std::clamp(options.level, 1, 12)));
    if (!compressor) {
        throw PngWriteError("Cannot encode a PNG: out of memory for the compressor.");
    }
    std::vector<std::uint8_t> deflated;
    {
        std::unique_ptr<std::uint8_t[]> filtered(new std::uint8_t[filteredSize]);
        RowFilter rowFilter(rowBytes, channels);
        for (std::size_t y = 0; y < h; ++y) {
            const std::uint8_t* row = pixels + y * rowBytes;
            rowFilter.filter(row, y > 0 ? row - rowBytes : nullptr, options.filters,
                             filtered.get() + y * (rowBytes + 1));
        }
        const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), filteredSize);
        deflated.resize(bound);
        const std::size_t size =
            libdeflate_zlib_compress(compressor.get(), filtered.get(), filteredSize, deflated.data(), bound);
        if (size == 0) {
            throw PngWriteError("Cannot encode a PNG: the compressor failed.");
        }
        deflated.resize(size);
    }

    constexpr std::size_t idatPiece = std::size_t{1} << 20;
    std::vector<std::uint8_t> file;
    file.reserve(png_format::signature.size() + 25 + 70 + deflated.size() + 12 * (deflated.size() / idatPiece + 1) + 12);
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

    for (std::size_t at = 0; at < deflated.size(); at += idatPiece) {
        appendChunk(file, "IDAT", deflated.data() + at, std::min(idatPiece, deflated.size() - at));
    }
    appendChunk(file, "IEND", nullptr, 0);
    return file;
}

void PngWriter::write(const std::filesystem::path& destination, const std::uint8_t* pixels, int width, int height,
                      Layout layout, const Options& options) {
    const std::vector<std::uint8_t> file = encode(pixels, width, height, layout, options);
    AtomicFileWriter::writeFile(destination,
                                std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
}

}  // namespace morvale
