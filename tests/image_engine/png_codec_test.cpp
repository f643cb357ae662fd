// Our PNG writer and fast reader against outside decoders: every file we write passes pngcheck and
// decodes in OpenImageIO and ImageMagick to the pixels we meant; for a table of generated files
// the fast reader gives OpenImageIO's pixels or leaves the file to it; damaged files are errors.

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "image_engine/image_loader.h"
#include "image_engine/png_reader.h"
#include "image_engine/png_writer.h"
#include "support/temp_dir.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(count);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

// Rows that filters predict well (gradients) over rows they cannot (noise), so that every filter
// type is picked somewhere.
Bytes mixedRows(int width, int height, int channels, unsigned seed) {
    Bytes bytes = randomBytes(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                                  static_cast<std::size_t>(channels), seed);
    for (int y = 0; y < height; y += 2) {
        for (int x = 0; x < width * channels; ++x) {
            bytes[static_cast<std::size_t>(y * width * channels + x)] = static_cast<std::uint8_t>(x * 3 + y);
        }
    }
    return bytes;
}

PackedTexture spread(const test::RawImage& raw) {
    PackedTexture out{raw.width, raw.height, {}};
    const auto count = static_cast<std::size_t>(raw.width) * static_cast<std::size_t>(raw.height);
    out.rgba.resize(count * 4);
    const auto c = static_cast<std::size_t>(raw.channels);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* px = raw.bytes.data() + i * c;
        std::uint8_t* dst = out.rgba.data() + i * 4;
        const bool grey = c < 3;
        for (int k = 0; k < 3; ++k) dst[k] = grey ? px[0] : px[k];
        dst[3] = c == 2 || c == 4 ? px[c - 1] : 255;
    }
    return out;
}

TEST(PngWriter, EveryLayoutAndFilterPassesPngcheckAndDecodesExactlyElsewhere) {
    ASSERT_EQ(test::run("pngcheck -h"), 0) << "pngcheck is missing (scripts/install-deps)";
    const test::TempDir dir;
    using Filters = PngWriter::Filters;
    const struct {
        PngWriter::Layout layout;
        const char* magickFormat;
    } layouts[] = {{PngWriter::Layout::grey, "gray"}, {PngWriter::Layout::rgb, "rgb"}, {PngWriter::Layout::rgba, "rgba"}};
    const Filters filters[] = {Filters::none, Filters::sub,        Filters::up,     Filters::average,
                               Filters::paeth, Filters::minimumSum, Filters::sampled};
    const std::pair<int, int> sizes[] = {{1, 1}, {37, 23}};
    int index = 0;
    for (const auto& [layout, magickFormat] : layouts) {
        const int channels = static_cast<int>(layout);
        for (const auto& [width, height] : sizes) {
            Bytes pixels = mixedRows(width, height, channels, static_cast<unsigned>(index));
            if (layout == PngWriter::Layout::rgba) {
                // Colour under transparent pixels must come back as written.
                for (std::size_t i = 3; i < pixels.size(); i += 8) pixels[i] = 0;
            }
            for (const Filters filter : filters) {
                SCOPED_TRACE(std::string(magickFormat) + " " + std::to_string(width) + "x" + std::to_string(height) +
                             " filters " + std::to_string(static_cast<int>(filter)));
                const fs::path file = dir / ("w" + std::to_string(index++) + ".png");
                PngWriter::Options options;
                options.filters = filter;
                options.sRGB = index % 2 == 0;
                PngWriter::write(file, pixels.data(), width, height, layout, options);

                EXPECT_EQ(test::run("pngcheck -q " + test::quote(file)), 0);
                const test::RawImage oiio = test::readRaw(file);
                EXPECT_EQ(oiio.channels, channels);
                EXPECT_EQ(oiio.bytes, pixels);
                const std::string magick =
                    test::capture("convert " + test::quote(file) + " -depth 8 " + magickFormat + ":-");
                EXPECT_EQ(Bytes(magick.begin(), magick.end()), pixels);
            }
        }
    }
}

// Images of several pieces: each piece is compressed alone and spliced on, whatever blocks the
// compressor chose (stored for noise, long matches for flat areas, fixed codes for short rows), and
// the file still decodes to the pixels everywhere. An image of one piece is libdeflate's stream.
TEST(PngWriter, PiecesJoinIntoOneStreamThatDecodesExactly) {
    const test::TempDir dir;
    using Layout = PngWriter::Layout;
    const struct {
        const char* name;
        Layout layout;
        int width, height, level;
        int kind;  // 0 mixed rows, 1 noise, 2 flat
    } cases[] = {
        {"mixed rgba", Layout::rgba, 700, 2000, 7, 0},  {"noise grey", Layout::grey, 4099, 1100, 1, 1},
        {"flat rgb", Layout::rgb, 2048, 1024, 12, 2},   {"row per piece", Layout::rgb, 800000, 3, 7, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int channels = static_cast<int>(c.layout);
        const std::size_t size = static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height) *
                                 static_cast<std::size_t>(channels);
        Bytes pixels = c.kind == 0 ? mixedRows(c.width, c.height, channels, 5)
                       : c.kind == 1 ? randomBytes(size, 6)
                                     : Bytes(size, 77);
        PngWriter::Options options;
        options.level = c.level;
        const std::uint64_t before = PngWriter::piecesCompressed();
        const fs::path file = dir / (std::string(c.name) + ".png");
        PngWriter::write(file, pixels.data(), c.width, c.height, c.layout, options);
        EXPECT_GE(PngWriter::piecesCompressed() - before, 3u);
        EXPECT_EQ(test::run("pngcheck -q " + test::quote(file)), 0);
        const test::RawImage oiio = test::readRaw(file);
        EXPECT_TRUE(oiio.bytes == pixels);
        if (c.width <= ImageLoader::maxSide) {
            EXPECT_TRUE(ImageLoader::loadRGBA8(file).rgba == spread(oiio).rgba);
        }
    }

    // One piece: the IDAT chunk holds exactly libdeflate's zlib stream of the filtered rows.
    const Bytes small = mixedRows(40, 30, 3, 9);
    PngWriter::Options none;
    none.filters = PngWriter::Filters::none;
    const Bytes file = PngWriter::encode(small.data(), 40, 30, PngWriter::Layout::rgb, none);
    Bytes rows;
    for (int y = 0; y < 30; ++y) {
        rows.push_back(0);
        rows.insert(rows.end(), small.begin() + y * 120, small.begin() + (y + 1) * 120);
    }
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(PngWriter::defaultLevel);
    Bytes expected(libdeflate_zlib_compress_bound(compressor, rows.size()));
    expected.resize(libdeflate_zlib_compress(compressor, rows.data(), rows.size(), expected.data(), expected.size()));
    libdeflate_free_compressor(compressor);
    const std::size_t idat = 8 + 25 + 8;  // signature, IHDR, the IDAT chunk's length and type
    ASSERT_GE(file.size(), idat + expected.size());
    EXPECT_EQ(Bytes(file.begin() + static_cast<long>(idat), file.begin() + static_cast<long>(idat + expected.size())),
              expected);
}

// -- Files of every kind, built chunk by chunk --------------------------------------------------

void appendChunk(Bytes& file, const char* type, const Bytes& data) {
    const auto be32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) file.push_back(static_cast<std::uint8_t>(v >> s));
    };
    be32(static_cast<std::uint32_t>(data.size()));
    const std::size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data.begin(), data.end());
    be32(libdeflate_crc32(0, file.data() + start, data.size() + 4));
}

Bytes zlib(const Bytes& raw) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    Bytes out(libdeflate_zlib_compress_bound(compressor, raw.size()));
    out.resize(libdeflate_zlib_compress(compressor, raw.data(), raw.size(), out.data(), out.size()));
    libdeflate_free_compressor(compressor);
    return out;
}

struct Spec {
    const char* name;
    int colourType;
    int depth;
    bool interlaced = false;
    Bytes trns = {};            // tRNS payload, empty for none
    int paletteSize = 0;        // PLTE entries
    std::vector<std::pair<const char*, Bytes>> extra = {};  // chunks before IDAT
    bool fast = true;           // the fast reader takes it
};

int channelsOf(int colourType) {
    switch (colourType) {
        case 2: return 3;
        case 4: return 2;
        case 6: return 4;
        default: return 1;
    }
}

// Raw filtered scanlines: every filter type in turn, random filtered bytes (any bytes are a valid
// filtered row). Palette indices stay below paletteSize. Interlaced files get the seven passes.
Bytes scanlines(const Spec& spec, int width, int height, unsigned seed) {
    std::mt19937 random(seed);
    const int bitsPerPixel = channelsOf(spec.colourType) * spec.depth;
    Bytes raw;
    const auto pass = [&](int w, int h, int& row) {
        if (w == 0 || h == 0) return;
        const auto rowBytes = static_cast<std::size_t>((w * bitsPerPixel + 7) / 8);
        for (int y = 0; y < h; ++y, ++row) {
            if (spec.colourType == 3) {
                raw.push_back(0);  // unfiltered, so that indices are the stored bits
                for (int x = 0; x < w; ++x) {
                    const unsigned index = static_cast<unsigned>(random()) % static_cast<unsigned>(spec.paletteSize);
                    const int bit = x * spec.depth;
                    if (bit % 8 == 0) raw.push_back(0);
                    raw.back() = static_cast<std::uint8_t>(raw.back() | (index << (8 - spec.depth - bit % 8)));
                }
                continue;
            }
            raw.push_back(static_cast<std::uint8_t>(row % 5));
            for (std::size_t i = 0; i < rowBytes; ++i) raw.push_back(static_cast<std::uint8_t>(random() % 9));
        }
    };
    int row = 0;
    if (!spec.interlaced) {
        pass(width, height, row);
        return raw;
    }
    const int x0[] = {0, 4, 0, 2, 0, 1, 0}, y0[] = {0, 0, 4, 0, 2, 0, 1};
    const int dx[] = {8, 8, 4, 4, 2, 2, 1}, dy[] = {8, 8, 8, 4, 4, 2, 2};
    for (int p = 0; p < 7; ++p) {
        pass((width - x0[p] + dx[p] - 1) / dx[p], (height - y0[p] + dy[p] - 1) / dy[p], row);
    }
    return raw;
}

Bytes be16s(std::initializer_list<unsigned> values) {
    Bytes out;
    for (const unsigned v : values) {
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

Bytes iccp() {
    Bytes profile(132, 0);
    const auto put = [&](std::size_t at, const char* text) { std::memcpy(profile.data() + at, text, 4); };
    profile[3] = 132;
    profile[8] = 2;
    profile[9] = 0x10;
    put(12, "mntr");
    put(16, "RGB ");
    put(20, "XYZ ");
    put(36, "acsp");
    Bytes chunk = {'i', 'c', 'c', 0, 0};
    const Bytes packed = zlib(profile);
    chunk.insert(chunk.end(), packed.begin(), packed.end());
    return chunk;
}

Bytes buildPNG(const Spec& spec, int width, int height, unsigned seed) {
    Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr = be16s({0, static_cast<unsigned>(width), 0, static_cast<unsigned>(height)});
    for (const int b : {spec.depth, spec.colourType, 0, 0, spec.interlaced ? 1 : 0}) {
        ihdr.push_back(static_cast<std::uint8_t>(b));
    }
    appendChunk(file, "IHDR", ihdr);
    for (const auto& [type, data] : spec.extra) appendChunk(file, type, data);
    if (spec.paletteSize > 0) appendChunk(file, "PLTE", randomBytes(static_cast<std::size_t>(spec.paletteSize) * 3, seed));
    if (!spec.trns.empty()) appendChunk(file, "tRNS", spec.trns);
    const Bytes stream = zlib(scanlines(spec, width, height, seed));
    // Split like the usual encoders do, so that the pieces are joined.
    for (std::size_t at = 0; at < stream.size(); at += 100) {
        appendChunk(file, "IDAT", Bytes(stream.begin() + static_cast<long>(at),
                                        stream.begin() + static_cast<long>(std::min(stream.size(), at + 100))));
    }
    appendChunk(file, "IEND", {});
    return file;
}

Bytes text(const std::string& keyword, const std::string& value) {
    Bytes out(keyword.begin(), keyword.end());
    out.push_back(0);
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

TEST(PngReader, GivesOpenImageIOsPixelsOrLeavesTheFileToIt) {
    const test::TempDir dir;
    const Spec specs[] = {
        {"grey 8", 0, 8},
        {"grey 16", 0, 16},
        {"grey 8 tRNS", 0, 8, false, be16s({3})},
        {"grey 16 tRNS", 0, 16, false, be16s({0x0102})},
        {"grey 4", 0, 4, false, {}, 0, {}, false},
        {"grey 1", 0, 1, false, {}, 0, {}, false},
        {"rgb 8", 2, 8},
        {"rgb 16", 2, 16},
        {"rgb 8 tRNS", 2, 8, false, be16s({1, 2, 3})},
        {"rgb 16 tRNS", 2, 16, false, be16s({1, 2, 3})},
        {"grey+alpha 8", 4, 8},
        {"grey+alpha 16", 4, 16},
        {"rgba 8", 6, 8},
        {"rgba 16", 6, 16},
        {"palette 8", 3, 8, false, {}, 200},
        {"palette 8 tRNS", 3, 8, false, {0, 128, 255, 7}, 200},
        {"palette 4 tRNS", 3, 4, false, {9, 250}, 16},
        {"palette 2", 3, 2, false, {}, 3},
        {"palette 1 tRNS", 3, 1, false, {0}, 2},
        {"rgb 8 interlaced", 2, 8, true, {}, 0, {}, false},
        {"rgba 16 interlaced", 6, 16, true, {}, 0, {}, false},
        {"rgb 8 gAMA 2.2", 2, 8, false, {}, 0, {{"gAMA", be16s({0, 45455})}}},
        {"grey 16 gAMA 1.0", 0, 16, false, {}, 0, {{"gAMA", be16s({1, 0x86a0})}}},
        {"rgba 8 sRGB", 6, 8, false, {}, 0, {{"sRGB", {0}}}},
        {"rgb 16 iCCP", 2, 16, false, {}, 0, {{"iCCP", iccp()}}},
        {"rgba 8 text", 6, 8, false, {}, 0, {{"tEXt", text("Software", "test")}, {"tEXt", text("Comment", "x")}}},
        {"rgb 8 exif profile", 2, 8, false, {}, 0, {{"tEXt", text("Raw profile type exif", "\nexif\n0\n")}}, false},
        {"rgb 8 unknown critical", 2, 8, false, {}, 0, {{"ABCD", {1}}}, false},
        {"grey 8 tRNS out of range", 0, 8, false, be16s({300}), 0, {}, false},
    };
    PngReader::Options options;
    options.leaveFilesWithExif = true;
    unsigned seed = 1;
    for (const Spec& spec : specs) {
        for (const auto& [width, height] : {std::pair{1, 1}, std::pair{13, 9}}) {
            SCOPED_TRACE(std::string(spec.name) + " " + std::to_string(width) + "x" + std::to_string(height));
            const Bytes bytes = buildPNG(spec, width, height, seed++);
            const fs::path file = dir / "table.png";
            test::writeBytes(file, bytes);
            const auto fast = PngReader::decode(bytes, options);
            ASSERT_EQ(fast.has_value(), spec.fast);
            std::optional<PackedTexture> read;
            try {
                read = spread(test::readRaw(file));
            } catch (const std::runtime_error&) {
                // Refused by OpenImageIO too (an unknown critical chunk): the loader says so.
                EXPECT_FALSE(fast);
                EXPECT_THROW((void)ImageLoader::load(file), ImageLoadError);
                continue;
            }
            const PackedTexture& oiio = *read;
            if (fast) {
                EXPECT_EQ(fast->pixels, oiio);
                EXPECT_EQ(fast->monochrome, spec.colourType == 0 || spec.colourType == 4);
            }
            EXPECT_EQ(ImageLoader::load(file).pixels, oiio);
        }
    }
}

TEST(PngReader, DamagedFilesAreClearErrors) {
    const test::TempDir dir;
    const Spec rgb{"rgb", 2, 8};
    const Bytes good = buildPNG(rgb, 16, 8, 7);
    const std::size_t firstIdat = 8 + 25;  // after the signature and IHDR

    const auto withIdat = [&](const Bytes& stream) {
        Bytes file(good.begin(), good.begin() + static_cast<long>(firstIdat));
        appendChunk(file, "IDAT", stream);
        appendChunk(file, "IEND", {});
        return file;
    };
    Bytes badFilter = scanlines(rgb, 16, 8, 7);
    badFilter[(16 * 3 + 1) * 5] = 5;
    Bytes shortRows = scanlines(rgb, 16, 8, 7);
    shortRows.resize(shortRows.size() - 10);
    Bytes longRows = scanlines(rgb, 16, 8, 7);
    longRows.push_back(0);
    Bytes trailing = zlib(scanlines(rgb, 16, 8, 7));
    trailing.push_back(0);
    Bytes badCrc = good;
    badCrc[firstIdat + 20] ^= 1;
    // 8000 x 8000 grey from a few hundred bytes: refused before 64 MB are allocated.
    Bytes huge(good.begin(), good.begin() + 8);
    appendChunk(huge, "IHDR", {0, 0, 0x1f, 0x40, 0, 0, 0x1f, 0x40, 8, 0, 0, 0, 0});
    appendChunk(huge, "IDAT", zlib(scanlines(rgb, 16, 8, 7)));
    appendChunk(huge, "IEND", {});
    Bytes tooWide(good.begin(), good.begin() + 8);
    appendChunk(tooWide, "IHDR", {0, 0, 0x40, 0x01, 0, 0, 0, 1, 8, 2, 0, 0, 0});
    appendChunk(tooWide, "IEND", {});
    Bytes zeroSide(good.begin(), good.begin() + 8);
    appendChunk(zeroSide, "IHDR", {0, 0, 0, 0, 0, 0, 0, 1, 8, 2, 0, 0, 0});
    appendChunk(zeroSide, "IEND", {});
    Bytes noData(good.begin(), good.begin() + static_cast<long>(firstIdat));
    appendChunk(noData, "IEND", {});

    const struct {
        const char* name;
        Bytes bytes;
        const char* reason;
    } cases[] = {
        {"bad CRC", badCrc, "the PNG data is damaged (bad CRC in chunk IDAT)"},
        {"cut short", Bytes(good.begin(), good.end() - 20), "the PNG file is cut short"},
        {"bad filter byte", withIdat(zlib(badFilter)), "row 5 has the unknown filter type 5"},
        {"rows short", withIdat(zlib(shortRows)), "the PNG image data ends early"},
        {"rows long", withIdat(zlib(longRows)), "the PNG image data runs past the image"},
        {"bytes after the stream", withIdat(trailing), "the PNG image data runs past the image"},
        {"broken stream", withIdat({0x78, 0x9c, 0xff, 0xff, 0xff}), "the PNG image data is damaged"},
        {"header claims more than the data can hold", huge, "the PNG image data ends early"},
        {"too large", tooWide, "the image is too large (16385x1; at most 16384 pixels per side"},
        {"no pixels", zeroSide, "the PNG header is invalid"},
        {"no image data", noData, "the PNG file has no image data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir / "damaged.png";
        test::writeBytes(file, c.bytes);
        try {
            (void)ImageLoader::load(file);
            ADD_FAILURE() << "no error";
        } catch (const ImageLoadError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace morvale
