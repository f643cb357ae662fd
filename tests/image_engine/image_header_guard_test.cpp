#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/cancellation.h"
#include "image_engine/image_loader.h"
#include "support/temp_dir.h"
#include "texture_fixtures.h"

namespace morvale {
namespace {

// Big- and little-endian byte building for hand-made headers.
struct Bytes {
    std::string data;
    Bytes& raw(std::string_view s) { data.append(s); return *this; }
    Bytes& zeros(std::size_t n) { data.append(n, '\0'); return *this; }
    Bytes& u8(unsigned v) { data.push_back(static_cast<char>(v & 0xFF)); return *this; }
    Bytes& be16(unsigned v) { return u8(v >> 8).u8(v); }
    Bytes& be32(std::uint32_t v) { return be16(v >> 16).be16(v & 0xFFFF); }
    Bytes& le16(unsigned v) { return u8(v).u8(v >> 8); }
    Bytes& le32(std::uint32_t v) { return le16(v & 0xFFFF).le16(v >> 16); }
    Bytes& padTo(std::size_t size) { if (data.size() < size) zeros(size - data.size()); return *this; }
};

Bytes psdHeader(std::uint32_t width, std::uint32_t height, unsigned channels = 3) {
    Bytes b;
    b.raw("8BPS").be16(1).zeros(6).be16(channels).be32(height).be32(width).be16(8).be16(3);
    return b;
}

// An OpenEXR scanline header with one half channel, up to (not including) the closing null.
Bytes exrHeader(std::int32_t width, std::int32_t height, unsigned compression, unsigned flags = 2) {
    Bytes b;
    b.le32(20000630).le32(flags);
    const auto attribute = [&b](std::string_view name, std::string_view type, const std::string& value) {
        b.raw(name).u8(0).raw(type).u8(0).le32(static_cast<std::uint32_t>(value.size())).raw(value);
    };
    attribute("channels", "chlist", Bytes().raw("Y").u8(0).le32(1).u8(0).zeros(3).le32(1).le32(1).u8(0).data);
    attribute("compression", "compression", std::string(1, static_cast<char>(compression)));
    const std::string window = Bytes().le32(0).le32(0).le32(static_cast<std::uint32_t>(width - 1))
                                   .le32(static_cast<std::uint32_t>(height - 1)).data;
    attribute("dataWindow", "box2i", window);
    attribute("displayWindow", "box2i", window);
    attribute("lineOrder", "lineOrder", std::string(1, '\0'));
    attribute("pixelAspectRatio", "float", Bytes().le32(0x3F800000).data);
    attribute("screenWindowCenter", "v2f", std::string(8, '\0'));
    attribute("screenWindowWidth", "float", Bytes().le32(0x3F800000).data);
    return b;
}

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

Bytes& pngChunk(Bytes& b, std::string_view type, const std::string& body) {
    const std::string typed = std::string(type) + body;
    return b.be32(static_cast<std::uint32_t>(body.size())).raw(typed).be32(crc32(typed));
}

// The signature and an RGBA header chunk, nothing more.
Bytes pngHead(std::uint32_t width, std::uint32_t height) {
    Bytes b;
    b.raw("\x89PNG\r\n\x1a\n");
    return pngChunk(b, "IHDR", Bytes().be32(width).be32(height).u8(8).u8(6).u8(0).u8(0).u8(0).data);
}

Bytes pngFile(std::uint32_t width, std::uint32_t height) {
    Bytes b = pngHead(width, height);
    pngChunk(b, "IDAT", std::string("\x78\x01\x01\x00\x00\xff\xff", 7));
    return pngChunk(b, "IEND", "");
}

Bytes tiffHeader(std::uint32_t width, std::uint32_t height, unsigned compression) {
    Bytes b;
    b.raw(std::string_view("II*\0", 4)).le32(8).le16(9);
    const auto entry = [&b](unsigned tag, std::uint32_t value) { b.le16(tag).le16(4).le32(1).le32(value); };
    entry(256, width);
    entry(257, height);
    b.le16(258).le16(3).le32(1).le16(8).le16(0);
    entry(259, compression);
    entry(262, 1);
    entry(273, 200);
    entry(277, 1);
    entry(278, height);
    entry(279, 64);
    b.le32(0);
    return b;
}

Bytes bmpHeader(std::int32_t width, std::int32_t height, unsigned bits) {
    Bytes b;
    b.raw("BM").le32(0).le32(0).le32(54).le32(40).le32(static_cast<std::uint32_t>(width))
        .le32(static_cast<std::uint32_t>(height)).le16(1).le16(bits).le32(0).le32(0).le32(2835).le32(2835)
        .le32(0).le32(0);
    return b;
}

double kilobytes(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(std::string(key).size()));
    }
    return -1;
}

// Headers that claim far more than the file holds: each is refused by the loader before any decoder
// allocates for it, and the process's peak memory stays within a few MB of where it started.
TEST(ImageHeaderGuard, RefusesDecoderBombsBeforeTheDecoderAllocates) {
    struct Bomb {
        const char* name;
        const char* file;
        std::function<Bytes()> make;
        const char* reason;
        std::uintmax_t sparseSize = 0;  // extended with a hole to this size, taking no disk space
    };
    const std::vector<Bomb> bombs{
        {"PSD colour mode data of 4 GB", "cmd.psd",
         [] { return psdHeader(1, 1).be32(0xFFFFFFFF).padTo(219); }, "the colour mode data runs past"},
        {"PSD merged image of 1 GB from 1 KB", "merged.psd",
         [] { return psdHeader(16384, 16384, 4).be32(0).be32(0).be32(0).be16(0).padTo(1024); }, "too large"},
        {"PSD of 3 planes in the 4-plane colour mode (crashed the decoder)", "cmyk.psd",
         [] {
             Bytes b = psdHeader(4, 3, 3);
             b.data[23] = 1;  // depth
             b.data[25] = 4;  // CMYK
             return b.be32(0).be32(0).be32(0).be16(0).padTo(100);
         },
         "fewer channels than its colour mode"},
        {"EXR string attribute of 1.8 GB", "comment.exr",
         [] {
             return exrHeader(8, 8, 0).raw("comments").u8(0).raw("string").u8(0).le32(0x6C000000).padTo(2800);
         },
         "an OpenEXR header attribute runs past"},
        {"EXR data window of 16384 squared from 3 KB", "window.exr",
         [] {
             Bytes b = exrHeader(16384, 16384, 3).u8(0);
             const std::size_t table = b.data.size() + 1024 * 8;
             for (std::uint32_t i = 0; i < 1024; ++i) b.le32(static_cast<std::uint32_t>(table)).le32(0);
             return b.le32(0).le32(8).zeros(8);
         }, "too large"},
        {"EXR tile of 7627119x4 on a 6x5 image", "tile.exr",
         [] {
             Bytes b = exrHeader(6, 5, 3, 2 | 0x200);
             b.raw("tiles").u8(0).raw("tiledesc").u8(0).le32(9).le32(7627119).le32(4).u8(0).u8(0);
             return b.padTo(1400);
         },
         "too large"},
        {"PNG of 16384 squared RGBA in 344 bytes", "big.png",
         [] { return pngFile(16384, 16384); },
         "too large"},
        {"JPEG of 16384 squared in 1 KB", "big.jpg",
         [] {
             Bytes b;
             b.u8(0xFF).u8(0xD8).u8(0xFF).u8(0xDB).be16(67).u8(0);
             for (int i = 0; i < 64; ++i) b.u8(1);
             b.u8(0xFF).u8(0xC0).be16(11).u8(8).be16(16384).be16(16384).u8(1).u8(1).u8(0x11).u8(0);
             b.u8(0xFF).u8(0xDA).be16(8).u8(1).u8(1).u8(0).u8(0).u8(63).u8(0);
             return b.padTo(1022).u8(0xFF).u8(0xD9);
         },
         "too large"},
        {"TIFF of 16384 squared grey in 1 KB", "big.tif", [] { return tiffHeader(16384, 16384, 8).padTo(1024); },
         "too large"},
        {"Targa of 16384 squared run-length in 1 KB", "big.tga",
         [] {
             Bytes b;
             b.u8(0).u8(0).u8(10).zeros(5).le16(0).le16(0).le16(16384).le16(16384).u8(32).u8(8);
             return b.padTo(1024);
         },
         "too large"},
        {"BMP of 16384 squared in 1 KB", "big.bmp", [] { return bmpHeader(16384, 16384, 24).padTo(1024); },
         "too large"},
        // Walked 12 bytes at a time, this one took over half an hour.
        {"PNG signature and a 4096 squared header in a sparse file of 5 GB", "sparse5g.png",
         [] { return pngHead(4096, 4096); }, "larger than any PNG image of 4096x4096", std::uintmax_t{5} << 30},
        // Small enough for the size bound of its header; read whole by the fast reader, this took 1.2 GB.
        {"PNG signature and a 16384 squared header in a sparse file of 1 GiB", "sparse1g.png",
         [] { return pngHead(16384, 16384); }, "a PNG chunk has no valid type", std::uintmax_t{1} << 30},
        // Interlaced, so that the fast reader leaves it to the guard.
        {"PNG of a million empty chunks", "chunks.png",
         [] {
             Bytes b;
             b.raw("\x89PNG\r\n\x1a\n");
             pngChunk(b, "IHDR", Bytes().be32(4096).be32(4096).u8(8).u8(6).u8(0).u8(0).u8(1).data);
             Bytes empty;
             pngChunk(empty, "tEXt", "");
             for (int i = 0; i < (1 << 20); ++i) b.raw(empty.data);
             return b;
         },
         "more chunks than any image could need"},
    };
    test::TempDir dir;
    for (const Bomb& bomb : bombs) {
        SCOPED_TRACE(bomb.name);
        const auto file = dir.write(bomb.file, bomb.make().data);
        if (bomb.sparseSize != 0) std::filesystem::resize_file(file, bomb.sparseSize);
        {
            std::ofstream reset("/proc/self/clear_refs");
            reset << "5";  // the peak resident size starts again from the current one
        }
        const double before = kilobytes("VmRSS:");
        try {
            (void)ImageLoader::load(file);
            ADD_FAILURE() << "loaded";
        } catch (const ImageLoadError& error) {
            EXPECT_NE(std::string(error.what()).find(bomb.reason), std::string::npos) << error.what();
            EXPECT_EQ(std::string(error.what()).rfind("Cannot load image " + file.string() + ": ", 0), 0u);
        }
        const double peak = kilobytes("VmHWM:");
        ASSERT_GT(before, 0);
        EXPECT_LT(peak - before, 64.0 * 1024) << "peak " << peak << " kB from " << before << " kB";
    }
}

// A long chunk walk ends when the item is stopped.
TEST(ImageHeaderGuard, StopsWhenAsked) {
    test::TempDir dir;
    const auto file = dir.write("plain.png", pngFile(4, 4).data);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW((void)ImageLoader::load(file, false, stop.get_token()), OperationCancelled);
}

// The bound leaves room for what real encoders do with a flat image: 16 MB of pixels from a file of
// a few kilobytes still load, in every format that compresses.
TEST(ImageHeaderGuard, FlatImagesFromRealEncodersStillLoad) {
    test::TempDir dir;
    const int side = 2048;
    const PackedTexture flat = test::solidTexture(side, side, 90, 140, 200, 255);
    for (const char* name : {"flat.png", "flat.tif", "flat.exr", "flat.tga", "flat.jpg", "flat.bmp"}) {
        SCOPED_TRACE(name);
        test::writeImage(dir / name, side, side, 4, flat.rgba);
        const auto loaded = ImageLoader::load(dir / name);
        EXPECT_EQ(loaded.pixels.width, side);
        EXPECT_EQ(loaded.pixels.height, side);
    }
    test::writePSD(dir / "flat.psd", flat);
    EXPECT_EQ(ImageLoader::load(dir / "flat.psd").pixels.width, side);
}

// A file is read by what it holds: a PNG named .tga is still a PNG; a name the content does not
// match is no image, and the reason for an unreadable file is the system's.
TEST(ImageHeaderGuard, ReadsByContentAndSaysWhyAFileCannotBeOpened) {
    test::TempDir dir;
    const PackedTexture pixels = test::solidTexture(4, 3, 1, 2, 3, 255);
    test::writeImage(dir / "real.png", 4, 3, 4, pixels.rgba);
    std::filesystem::copy_file(dir / "real.png", dir / "misnamed.tga");
    EXPECT_EQ(ImageLoader::readSize(dir / "misnamed.tga").width, 4);

    const auto text = dir.write("text.png", "P6 16384 16384 255\n");
    EXPECT_THROW(
        {
            try {
                (void)ImageLoader::readSize(text);
            } catch (const ImageLoadError& error) {
                EXPECT_NE(std::string(error.what()).find("not a readable image"), std::string::npos);
                throw;
            }
        },
        ImageLoadError);
}

}  // namespace
}  // namespace morvale
