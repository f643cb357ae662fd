#include "image_engine/image_header_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "image_engine/image_loader.h"

namespace morvale {

namespace {

namespace fs = std::filesystem;
using u64 = std::uint64_t;
using i64 = std::int64_t;

// Best compression ratios (decoded bytes per file byte) a real encoder can reach, rounded up.
constexpr u64 rawRatio = 1;
constexpr u64 packBitsRatio = 128;   // PackBits / Targa / EXR run-length: 128 bytes from 2
constexpr u64 bmpRleRatio = 256;     // RLE4 packs 255 pixels into 2 bytes
constexpr u64 deflateRatio = 1040;   // zlib tops out near 1032:1
constexpr u64 jpegRatio = 2048;      // at least one bit per 8x8 block and component
constexpr u64 lzwRatio = 2048;       // 12-bit codes reset at 4094 entries: about 1365:1
constexpr u64 faxRatio = u64{1} << 15;
constexpr u64 unknownRatio = u64{1} << 16;  // zstd, LZMA, wavelet codecs: very high but finite

// A claim the file cannot back, with the loader's reason.
struct Refusal {
    std::string reason;
    std::optional<ImageLoadError::StoredSize> tooLarge = std::nullopt;
};

Refusal unreadable(std::string what) { return {"not a readable image (" + std::move(what) + ")"}; }

u64 mulSat(u64 a, u64 b) {
    if (a != 0 && b > std::numeric_limits<u64>::max() / a) return std::numeric_limits<u64>::max();
    return a * b;
}
u64 addSat(u64 a, u64 b) { return b > std::numeric_limits<u64>::max() - a ? std::numeric_limits<u64>::max() : a + b; }
u64 ceilDiv(u64 a, u64 b) { return a / b + (a % b != 0 ? 1 : 0); }

// Random access to the file's bytes; any read past the end is a header cut short.
class Bytes {
public:
    Bytes(int fd, u64 size) : fd_(fd), size_(size) {}
    u64 size() const { return size_; }

    void read(u64 offset, void* out, std::size_t count) const {
        if (count > size_ || offset > size_ - count) throw unreadable("the header is cut short");
        auto* target = static_cast<unsigned char*>(out);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::pread(fd_, target + done, count - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw unreadable("the header cannot be read");
            done += static_cast<std::size_t>(n);
        }
    }
    u64 be(u64 offset, std::size_t width) const {
        unsigned char b[8];
        read(offset, b, width);
        u64 v = 0;
        for (std::size_t i = 0; i < width; ++i) v = (v << 8) | b[i];
        return v;
    }
    u64 le(u64 offset, std::size_t width) const {
        unsigned char b[8];
        read(offset, b, width);
        u64 v = 0;
        for (std::size_t i = width; i-- > 0;) v = (v << 8) | b[i];
        return v;
    }
    std::uint8_t u8(u64 offset) const { return static_cast<std::uint8_t>(be(offset, 1)); }

private:
    int fd_;
    u64 size_;
};

// [begin, begin + length) must lie within [0, end).
void requireWithin(u64 begin, u64 length, u64 end, std::string_view what) {
    if (begin > end || length > end - begin) throw unreadable(std::string(what) + " runs past the end of the file");
}

std::string sizeText(i64 width, i64 height) { return std::to_string(width) + "x" + std::to_string(height); }

void requireCaps(i64 width, i64 height) {
    if (width < 1 || height < 1) throw Refusal{"the image has no pixels"};
    if (width > ImageLoader::maxSide || height > ImageLoader::maxSide || width * height > ImageLoader::maxPixels) {
        throw Refusal{"the image is too large (" + sizeText(width, height) +
                          "; at most 16384 pixels per side and 268435456 in all)",
                      ImageLoadError::StoredSize{width, height}};
    }
}

// Pixels that need more than ratio * source bytes (plus the slack) could not come from the file.
void requireRatio(u64 decodedBytes, u64 sourceBytes, u64 ratio, i64 width, i64 height) {
    if (decodedBytes > addSat(mulSat(sourceBytes, ratio), ImageHeaderGuard::slackBytes)) {
        throw Refusal{"the image is too large for its file (" + sizeText(width, height) + " from " +
                          std::to_string(sourceBytes) + " bytes)"};
    }
}

u64 rowBytes(i64 width, u64 bitsPerPixel) { return ceilDiv(mulSat(static_cast<u64>(width), bitsPerPixel), 8); }

// -- PNG -------------------------------------------------------------------------------------------

void checkPng(const Bytes& b) {
    if (b.be(12, 4) != 0x49484452) throw unreadable("the PNG header chunk is missing");  // "IHDR"
    const i64 width = static_cast<i64>(b.be(16, 4));
    const i64 height = static_cast<i64>(b.be(20, 4));
    const u64 depth = b.u8(24);
    const int colourType = b.u8(25);
    u64 channels = 0;
    switch (colourType) {
        case 0: case 3: channels = 1; break;
        case 2: channels = 3; break;
        case 4: channels = 2; break;
        case 6: channels = 4; break;
        default: throw unreadable("unknown PNG colour type");
    }
    requireCaps(width, height);
    // Each row carries one filter byte before its pixels.
    const u64 decoded = mulSat(addSat(rowBytes(width, channels * depth), 1), static_cast<u64>(height));
    requireRatio(decoded, b.size(), deflateRatio, width, height);
    // The decoder allocates each chunk at the length it states before reading it, so a length past
    // the file's end is a bomb however small the image.
    for (u64 offset = 8; offset + 8 <= b.size();) {
        const u64 length = b.be(offset, 4);
        if (length > 0x7FFFFFFFu || offset + 12 + length > b.size()) {
            throw unreadable("a PNG chunk runs past the end of the file");
        }
        if (b.be(offset + 4, 4) == 0x49454E44) break;  // "IEND"
        offset += 12 + length;
    }
}

// -- JPEG ------------------------------------------------------------------------------------------

// A JPEG stream in [begin, end): its frame header's size against the stream's length.
void checkJpeg(const Bytes& b, u64 begin, u64 end) {
    u64 p = begin + 2;
    while (p + 4 <= end) {
        if (b.u8(p) != 0xFF) throw unreadable("a JPEG marker is missing");
        const int marker = b.u8(p + 1);
        if (marker == 0xFF) {  // fill byte
            ++p;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            p += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) throw unreadable("the JPEG stream has no frame header");
        const u64 length = b.be(p + 2, 2);
        if (length < 2) throw unreadable("a JPEG segment has no length");
        requireWithin(p + 2, length, end, "a JPEG segment");
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 8) throw unreadable("the JPEG frame header is cut short");
            const u64 precision = b.u8(p + 4);
            const i64 height = static_cast<i64>(b.be(p + 5, 2));
            const i64 width = static_cast<i64>(b.be(p + 7, 2));
            const u64 components = b.u8(p + 9);
            if (height == 0) return;  // height given later (DNL): the decoder decides
            requireCaps(width, height);
            const u64 decoded =
                mulSat(mulSat(static_cast<u64>(width) * static_cast<u64>(height), std::max<u64>(components, 1)),
                       precision > 8 ? 2 : 1);
            requireRatio(decoded, end - begin, jpegRatio, width, height);
            return;
        }
        p += 2 + length;
    }
    throw unreadable("the JPEG stream has no frame header");
}

// -- TIFF ------------------------------------------------------------------------------------------

u64 tiffTypeSize(u64 type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: case 16: case 17: case 18: return 8;
        default: return 0;
    }
}

u64 tiffRatio(u64 compression) {
    switch (compression) {
        case 1: return rawRatio;
        case 2: case 3: case 4: return faxRatio;
        case 5: return lzwRatio;
        case 6: case 7: return jpegRatio;
        case 8: case 32946: return deflateRatio;
        case 32773: return packBitsRatio;
        default: return unknownRatio;
    }
}

void checkTiff(const Bytes& b) {
    const bool little = b.u8(0) == 'I';
    const auto read = [&](u64 offset, std::size_t width) { return little ? b.le(offset, width) : b.be(offset, width); };
    const bool big = read(2, 2) == 43;
    const std::size_t word = big ? 8 : 4;
    const u64 ifd = big ? read(8, 8) : read(4, 4);
    const u64 entries = read(ifd, big ? 8 : 2);
    const u64 entrySize = big ? 20 : 12;
    const u64 first = ifd + (big ? 8 : 2);
    requireWithin(first, mulSat(entries, entrySize), b.size(), "the first TIFF directory");

    i64 width = 0;
    i64 height = 0;
    u64 bitsPerSample = 1;
    u64 samplesPerPixel = 1;
    u64 compression = 1;
    i64 tileWidth = 0;
    i64 tileHeight = 0;
    for (u64 i = 0; i < entries; ++i) {
        const u64 entry = first + i * entrySize;
        const u64 tag = read(entry, 2);
        const u64 type = read(entry + 2, 2);
        const u64 count = read(entry + 4, word);
        const u64 typeSize = tiffTypeSize(type);
        const u64 bytes = mulSat(count, typeSize);
        const u64 valueAt = entry + 4 + word;
        u64 dataAt = valueAt;
        if (bytes > word) {
            dataAt = read(valueAt, word);
            // libtiff reads a tag's array whole; small ones it also checks itself.
            if (bytes > ImageHeaderGuard::slackBytes) requireWithin(dataAt, bytes, b.size(), "a TIFF tag");
        }
        if (count == 0 || (typeSize != 2 && typeSize != 4 && typeSize != 8)) continue;
        if (bytes > word) requireWithin(dataAt, typeSize, b.size(), "a TIFF tag");
        const u64 value = read(dataAt, static_cast<std::size_t>(std::min<u64>(typeSize, 8)));
        switch (tag) {
            case 256: width = static_cast<i64>(std::min<u64>(value, u64{1} << 40)); break;
            case 257: height = static_cast<i64>(std::min<u64>(value, u64{1} << 40)); break;
            case 258: bitsPerSample = value; break;
            case 259: compression = value; break;
            case 277: samplesPerPixel = value; break;
            case 322: tileWidth = static_cast<i64>(std::min<u64>(value, u64{1} << 40)); break;
            case 323: tileHeight = static_cast<i64>(std::min<u64>(value, u64{1} << 40)); break;
            default: break;
        }
    }
    requireCaps(width, height);
    const u64 decoded =
        mulSat(rowBytes(width, mulSat(std::max<u64>(samplesPerPixel, 1), std::max<u64>(bitsPerSample, 1))),
               static_cast<u64>(height));
    requireRatio(decoded, b.size(), tiffRatio(compression), width, height);
    // A tile is decoded whole, however much of it lies outside the image.
    if (tileWidth > 0 || tileHeight > 0) {
        requireCaps(tileWidth, tileHeight);
        const u64 tileBytes = mulSat(rowBytes(tileWidth, mulSat(std::max<u64>(samplesPerPixel, 1), std::max<u64>(bitsPerSample, 1))),
                                     static_cast<u64>(tileHeight));
        requireRatio(tileBytes, b.size(), tiffRatio(compression), tileWidth, tileHeight);
    }
}

// -- OpenEXR ---------------------------------------------------------------------------------------

u64 exrRatio(int compression) {
    switch (compression) {
        case 0: return rawRatio;
        case 1: return packBitsRatio;
        case 2: case 3: return deflateRatio;
        case 4: return 1024;               // PIZ: Huffman with runs of at most 255 symbols
        case 5: return 2 * deflateRatio;   // PXR24: 32-bit floats kept in 24 bits, then zlib
        case 6: return 4;                  // B44: 32 bytes in 14
        case 7: return 16;                 // B44A: a flat block in 3
        default: return unknownRatio;      // DWAA, DWAB
    }
}

int exrLinesPerChunk(int compression) {
    switch (compression) {
        case 0: case 1: case 2: return 1;
        case 3: case 5: return 16;
        case 9: return 256;
        default: return 32;
    }
}

struct ExrPart {
    bool hasWindow = false;
    i64 xMin = 0, yMin = 0, xMax = -1, yMax = -1;
    int compression = 0;
    u64 bytesPerPixel = 0;
    bool tiled = false;
    u64 tileX = 0, tileY = 0;
    int levelMode = 0, roundingMode = 0;
    std::optional<u64> chunkCount;
};

// Null-terminated text of at most `limit` characters starting at p; returns it and moves p past it.
std::string exrText(const Bytes& b, u64& p, std::size_t limit) {
    std::string text;
    for (;;) {
        const char c = static_cast<char>(b.u8(p++));
        if (c == '\0') return text;
        if (text.size() >= limit) throw unreadable("an OpenEXR attribute name is too long");
        text.push_back(c);
    }
}

i64 exrInt(const Bytes& b, u64 offset) {
    return static_cast<i64>(static_cast<std::int32_t>(static_cast<std::uint32_t>(b.le(offset, 4))));
}

u64 exrLevelCount(i64 side, int rounding) {
    u64 levels = 1;
    u64 s = static_cast<u64>(side);
    while (s > 1) {
        s = rounding == 1 ? (s + 1) / 2 : s / 2;
        ++levels;
    }
    return levels;
}

i64 exrLevelSide(i64 side, u64 level, int rounding) {
    const i64 scale = i64{1} << level;
    const i64 size = rounding == 1 ? (side + scale - 1) / scale : side / scale;
    return std::max<i64>(size, 1);
}

u64 exrChunks(const ExrPart& part, i64 width, i64 height) {
    if (part.chunkCount) return *part.chunkCount;
    if (!part.tiled) return ceilDiv(static_cast<u64>(height), static_cast<u64>(exrLinesPerChunk(part.compression)));
    if (part.tileX == 0 || part.tileY == 0) throw unreadable("an OpenEXR tile has no size");
    const auto tiles = [&](i64 w, i64 h) {
        return mulSat(ceilDiv(static_cast<u64>(w), part.tileX), ceilDiv(static_cast<u64>(h), part.tileY));
    };
    u64 total = 0;
    if (part.levelMode == 0) return tiles(width, height);
    if (part.levelMode == 1) {
        const u64 levels = exrLevelCount(std::max(width, height), part.roundingMode);
        for (u64 l = 0; l < levels; ++l) {
            total = addSat(total, tiles(exrLevelSide(width, l, part.roundingMode), exrLevelSide(height, l, part.roundingMode)));
        }
        return total;
    }
    const u64 xLevels = exrLevelCount(width, part.roundingMode);
    const u64 yLevels = exrLevelCount(height, part.roundingMode);
    for (u64 lx = 0; lx < xLevels; ++lx) {
        for (u64 ly = 0; ly < yLevels; ++ly) {
            total = addSat(total, tiles(exrLevelSide(width, lx, part.roundingMode), exrLevelSide(height, ly, part.roundingMode)));
        }
    }
    return total;
}

void checkExr(const Bytes& b) {
    const u64 flags = b.le(4, 4);
    const bool longNames = (flags & 0x400) != 0;
    const bool multipart = (flags & 0x1000) != 0;
    const std::size_t nameLimit = longNames ? 255 : 31;
    std::vector<ExrPart> parts;
    u64 p = 8;
    for (;;) {
        if (multipart && b.u8(p) == 0) {  // the empty header that ends the list
            ++p;
            break;
        }
        ExrPart part;
        part.tiled = !multipart && (flags & 0x200) != 0;
        for (;;) {
            const std::string name = exrText(b, p, nameLimit);
            if (name.empty()) break;
            const std::string type = exrText(b, p, nameLimit);
            const i64 size = exrInt(b, p);
            p += 4;
            // The library allocates an attribute's value from this size before reading it.
            if (size < 0) throw unreadable("an OpenEXR attribute has a negative size");
            requireWithin(p, static_cast<u64>(size), b.size(), "an OpenEXR header attribute");
            if (name == "dataWindow" && type == "box2i" && size >= 16) {
                part.hasWindow = true;
                part.xMin = exrInt(b, p);
                part.yMin = exrInt(b, p + 4);
                part.xMax = exrInt(b, p + 8);
                part.yMax = exrInt(b, p + 12);
            } else if (name == "compression" && size >= 1) {
                part.compression = b.u8(p);
            } else if (name == "tiles" && type == "tiledesc" && size >= 9) {
                part.tiled = true;
                part.tileX = b.le(p, 4);
                part.tileY = b.le(p + 4, 4);
                part.levelMode = b.u8(p + 8) & 0x0F;
                part.roundingMode = b.u8(p + 8) >> 4;
            } else if (name == "chunkCount" && size >= 4) {
                const i64 count = exrInt(b, p);
                if (count < 0) throw unreadable("an OpenEXR part has a negative chunk count");
                part.chunkCount = static_cast<u64>(count);
            } else if (name == "channels" && type == "chlist") {
                u64 q = p;
                const u64 end = p + static_cast<u64>(size);
                while (q < end) {
                    if (exrText(b, q, 255).empty()) break;
                    const i64 pixelType = exrInt(b, q);
                    part.bytesPerPixel += pixelType == 1 ? 2 : 4;
                    q += 16;
                }
            }
            p += static_cast<u64>(size);
        }
        parts.push_back(part);
        if (!multipart) break;
    }

    const u64 fileSize = b.size();
    u64 chunks = 0;
    for (const ExrPart& part : parts) {
        if (!part.hasWindow) throw unreadable("an OpenEXR part has no data window");
        const i64 width = part.xMax - part.xMin + 1;
        const i64 height = part.yMax - part.yMin + 1;
        requireCaps(width, height);
        const u64 pixelBytes = std::max<u64>(part.bytesPerPixel, 1);
        requireRatio(mulSat(static_cast<u64>(width * height), pixelBytes), fileSize, exrRatio(part.compression), width,
                     height);
        // A tile is decoded whole, however much of it lies outside the image.
        if (part.tiled) {
            const i64 tileWidth = static_cast<i64>(std::min<u64>(part.tileX, u64{1} << 40));
            const i64 tileHeight = static_cast<i64>(std::min<u64>(part.tileY, u64{1} << 40));
            requireCaps(tileWidth, tileHeight);
            requireRatio(mulSat(static_cast<u64>(tileWidth * tileHeight), pixelBytes), fileSize,
                         exrRatio(part.compression), tileWidth, tileHeight);
        }
        chunks = addSat(chunks, exrChunks(part, width, height));
    }
    // Each chunk has an 8-byte offset, all read into one table before any pixel.
    requireWithin(p, mulSat(chunks, 8), fileSize, "the OpenEXR chunk table");
}

// -- Photoshop -------------------------------------------------------------------------------------

struct PsdLayout {
    bool big = false;  // PSB: 8-byte lengths in the layer sections
    u64 depth = 8;
    std::size_t lengthWidth() const { return big ? 8 : 4; }
};

u64 psdPlaneBytes(const PsdLayout& psd, i64 width, i64 height) {
    return mulSat(rowBytes(width, psd.depth), static_cast<u64>(height));
}

// One channel's pixels of `length` bytes at p: compression word, then raw, run-length or zip data.
void checkPsdChannel(const Bytes& b, const PsdLayout& psd, u64 p, u64 length, i64 width, i64 height) {
    if (length < 2 || width == 0 || height == 0) return;
    const u64 compression = b.be(p, 2);
    const u64 data = length - 2;
    const u64 decoded = psdPlaneBytes(psd, width, height);
    switch (compression) {
        case 0: requireRatio(decoded, data, rawRatio, width, height); break;
        case 1:
            requireWithin(0, mulSat(static_cast<u64>(height), psd.big ? 4 : 2), data, "a layer's row lengths");
            requireRatio(decoded, data, packBitsRatio, width, height);
            break;
        case 2: case 3: requireRatio(decoded, data, deflateRatio, width, height); break;
        default: throw unreadable("a layer has an unknown compression");
    }
}

void checkLayerRect(i64 top, i64 left, i64 bottom, i64 right) {
    const i64 height = bottom - top;
    const i64 width = right - left;
    if (height < 0 || width < 0) throw unreadable("a layer has a negative size");
    if (height > 0 && width > 0) requireCaps(width, height);
}

i64 psdInt(const Bytes& b, u64 offset) {
    return static_cast<i64>(static_cast<std::int32_t>(static_cast<std::uint32_t>(b.be(offset, 4))));
}

void checkPsdLayerInfo(const Bytes& b, const PsdLayout& psd, u64 begin, u64 end) {
    if (end - begin < 2) return;
    const auto count = static_cast<std::int16_t>(static_cast<std::uint16_t>(b.be(begin, 2)));
    const int layers = count < 0 ? -count : count;
    struct Channel {
        i64 id;
        u64 length;
    };
    struct Layer {
        i64 width, height, maskWidth, maskHeight;
        std::vector<Channel> channels;
    };
    std::vector<Layer> records;
    u64 p = begin + 2;
    const std::size_t lw = psd.lengthWidth();
    for (int i = 0; i < layers; ++i) {
        requireWithin(p, 18, end, "a layer record");
        Layer layer{};
        const i64 top = psdInt(b, p), left = psdInt(b, p + 4), bottom = psdInt(b, p + 8), right = psdInt(b, p + 12);
        checkLayerRect(top, left, bottom, right);
        layer.width = right - left;
        layer.height = bottom - top;
        const u64 channels = b.be(p + 16, 2);
        if (channels > 56) throw unreadable("a layer has more than 56 channels");
        p += 18;
        requireWithin(p, channels * (2 + lw), end, "a layer record");
        for (u64 c = 0; c < channels; ++c) {
            const auto id = static_cast<std::int16_t>(static_cast<std::uint16_t>(b.be(p, 2)));
            layer.channels.push_back({id, b.be(p + 2, lw)});
            p += 2 + lw;
        }
        requireWithin(p, 16, end, "a layer record");
        const u64 extra = b.be(p + 12, 4);
        p += 16;
        requireWithin(p, extra, end, "a layer record");
        // The extra data opens with the layer mask, which has a rectangle of its own.
        if (extra >= 4) {
            const u64 maskLength = b.be(p, 4);
            requireWithin(p + 4, maskLength, p + extra, "a layer mask");
            if (maskLength >= 16) {
                const i64 mt = psdInt(b, p + 4), ml = psdInt(b, p + 8), mb = psdInt(b, p + 12), mr = psdInt(b, p + 16);
                checkLayerRect(mt, ml, mb, mr);
                layer.maskWidth = mr - ml;
                layer.maskHeight = mb - mt;
            }
        }
        p += extra;
        records.push_back(std::move(layer));
    }
    for (const Layer& layer : records) {
        for (const Channel& channel : layer.channels) {
            requireWithin(p, channel.length, end, "a layer's pixels");
            const bool mask = channel.id < -1;
            checkPsdChannel(b, psd, p, channel.length, mask ? layer.maskWidth : layer.width,
                            mask ? layer.maskHeight : layer.height);
            p += channel.length;
        }
    }
}

bool psdLongKey(std::string_view key) {
    static constexpr std::string_view keys[] = {"LMsk", "Lr16", "Lr32", "Layr", "Mt16", "Mt32", "Mtrn",
                                                "Alph", "FMsk", "lnk2", "FEid", "FXid", "PxSD"};
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

void checkPsdTaggedBlocks(const Bytes& b, const PsdLayout& psd, u64 p, u64 end) {
    while (end - p >= 12) {
        char head[8];
        b.read(p, head, 8);
        const std::string_view signature(head, 4);
        const std::string_view key(head + 4, 4);
        if (signature != "8BIM" && signature != "8B64") return;
        const std::size_t width = psd.big && psdLongKey(key) ? 8 : 4;
        const u64 length = b.be(p + 8, width);
        p += 8 + width;
        requireWithin(p, length, end, "a tagged layer block");
        if (key == "Lr16" || key == "Lr32" || key == "Layr") checkPsdLayerInfo(b, psd, p, p + length);
        p += length;
    }
}

void checkPsdResources(const Bytes& b, u64 p, u64 end) {
    while (end - p >= 12) {
        const u64 id = b.be(p + 4, 2);
        const u64 nameLength = b.u8(p + 6);
        u64 q = p + 6 + ((nameLength + 2) & ~u64{1});  // Pascal string padded to an even size
        requireWithin(q, 4, end, "an image resource");
        const u64 size = b.be(q, 4);
        q += 4;
        requireWithin(q, size, end, "an image resource");
        // Thumbnails are decoded on open: a 28-byte header, then a JPEG stream.
        if ((id == 1033 || id == 1036) && size > 28 + 4 && b.be(q + 28, 2) == 0xFFD8) checkJpeg(b, q + 28, q + size);
        p = q + size + (size & 1);
        if (p > end) return;
    }
}

void checkPsd(const Bytes& b) {
    PsdLayout psd;
    const u64 version = b.be(4, 2);
    if (version != 1 && version != 2) throw unreadable("unknown Photoshop version");
    psd.big = version == 2;
    const u64 channels = b.be(12, 2);
    const i64 height = static_cast<i64>(b.be(14, 4));
    const i64 width = static_cast<i64>(b.be(18, 4));
    psd.depth = b.be(22, 2);
    if (channels < 1 || channels > 56) throw unreadable("a Photoshop image has 1 to 56 channels");
    if (psd.depth != 1 && psd.depth != 8 && psd.depth != 16 && psd.depth != 32) {
        throw unreadable("unknown Photoshop bit depth");
    }
    // The decoder reads as many planes as the colour mode has, whatever the channel count says.
    const u64 mode = b.be(24, 2);
    u64 modeChannels = 1;
    switch (mode) {
        case 0: case 1: case 2: case 7: case 8: modeChannels = 1; break;
        case 3: case 9: modeChannels = 3; break;
        case 4: modeChannels = 4; break;
        default: throw unreadable("unknown Photoshop colour mode");
    }
    if (channels < modeChannels) throw unreadable("a Photoshop image has fewer channels than its colour mode");
    if ((psd.depth == 1) != (mode == 0)) throw unreadable("a Photoshop bitmap has one bit per pixel, and only it");
    requireCaps(width, height);
    const u64 size = b.size();
    u64 p = 26;
    const u64 colourModeData = b.be(p, 4);
    p += 4;
    requireWithin(p, colourModeData, size, "the colour mode data");
    p += colourModeData;
    const u64 resources = b.be(p, 4);
    p += 4;
    requireWithin(p, resources, size, "the image resources");
    checkPsdResources(b, p, p + resources);
    p += resources;
    const u64 layerAndMask = b.be(p, psd.lengthWidth());
    p += psd.lengthWidth();
    requireWithin(p, layerAndMask, size, "the layer and mask information");
    if (layerAndMask > 0) {
        const u64 end = p + layerAndMask;
        const u64 layerInfo = b.be(p, psd.lengthWidth());
        u64 q = p + psd.lengthWidth();
        requireWithin(q, layerInfo, end, "the layer information");
        checkPsdLayerInfo(b, psd, q, q + layerInfo);
        q += layerInfo;
        if (end - q >= 4) {
            const u64 globalMask = b.be(q, 4);
            q += 4;
            requireWithin(q, globalMask, end, "the global layer mask");
            checkPsdTaggedBlocks(b, psd, q + globalMask, end);
        }
        p = end;
    }
    // The merged image: one plane per channel.
    const u64 compression = b.be(p, 2);
    p += 2;
    const u64 data = size - p;
    const u64 decoded = mulSat(psdPlaneBytes(psd, width, height), channels);
    switch (compression) {
        case 0: requireRatio(decoded, data, rawRatio, width, height); break;
        case 1:
            requireWithin(p, mulSat(mulSat(channels, static_cast<u64>(height)), psd.big ? 4 : 2), size,
                          "the image's row lengths");
            requireRatio(decoded, data, packBitsRatio, width, height);
            break;
        case 2: case 3: requireRatio(decoded, data, deflateRatio, width, height); break;
        default: throw unreadable("unknown Photoshop compression");
    }
}

// -- BMP and Targa ---------------------------------------------------------------------------------

void checkBmp(const Bytes& b) {
    const u64 dataOffset = b.le(10, 4);
    const u64 header = b.le(14, 4);
    i64 width = 0;
    i64 height = 0;
    u64 bits = 0;
    u64 compression = 0;
    u64 colours = 0;
    u64 entry = 4;
    if (header == 12) {
        width = static_cast<i64>(b.le(18, 2));
        height = static_cast<i64>(b.le(20, 2));
        bits = b.le(24, 2);
        entry = 3;
    } else if (header >= 40) {
        width = static_cast<i64>(static_cast<std::int32_t>(static_cast<std::uint32_t>(b.le(18, 4))));
        height = static_cast<i64>(static_cast<std::int32_t>(static_cast<std::uint32_t>(b.le(22, 4))));
        bits = b.le(28, 2);
        compression = b.le(30, 4);
        colours = b.le(46, 4);
    } else {
        throw unreadable("unknown BMP header");
    }
    requireCaps(width, height < 0 ? -height : height);
    height = height < 0 ? -height : height;
    requireWithin(14 + header, mulSat(colours, entry), b.size(), "the BMP colour table");
    const u64 row = ceilDiv(mulSat(static_cast<u64>(width), std::max<u64>(bits, 1)), 32) * 4;
    const u64 decoded = mulSat(row, static_cast<u64>(height));
    const u64 data = b.size() - std::min(dataOffset, b.size());
    const u64 ratio = compression == 0 || compression == 3 || compression == 6 ? rawRatio
                      : compression == 1 || compression == 2          ? bmpRleRatio
                                                                      : jpegRatio;
    requireRatio(decoded, data, ratio, width, height);
}

void checkTarga(const Bytes& b) {
    const u64 idLength = b.u8(0);
    const int type = b.u8(2);
    if (type != 1 && type != 2 && type != 3 && type != 9 && type != 10 && type != 11) return;  // the decoder refuses it
    const u64 mapLength = b.le(5, 2);
    const u64 mapBits = b.u8(7);
    const i64 width = static_cast<i64>(b.le(12, 2));
    const i64 height = static_cast<i64>(b.le(14, 2));
    const u64 bits = b.u8(16);
    requireCaps(width, height);
    const u64 pixelsAt = 18 + idLength + mapLength * ceilDiv(mapBits, 8);
    requireWithin(0, pixelsAt, b.size(), "the Targa colour map");
    const u64 decoded = mulSat(mulSat(static_cast<u64>(width), static_cast<u64>(height)), std::max<u64>(ceilDiv(bits, 8), 1));
    requireRatio(decoded, b.size() - pixelsAt, type >= 9 ? packBitsRatio : rawRatio, width, height);
}

// Files whose content the camera-raw decoder reads; many are TIFF inside, but not ours to judge.
bool cameraRaw(const std::string& extension) {
    static const std::set<std::string> raws{"cr2", "cr3", "nef", "arw", "dng", "orf", "rw2", "raf", "pef", "srw"};
    return raws.contains(extension);
}

struct FileHandle {
    int fd;
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::string ImageHeaderGuard::check(const fs::path& file) {
    std::string extension = ascii::lowered(file.extension().string());
    if (!extension.empty()) extension.erase(0, 1);
    FileHandle handle{::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};  // a FIFO must not block
    if (handle.fd < 0) {
        const std::error_code error(errno, std::generic_category());
        throw ImageLoadError(file, "the file cannot be opened (" + error.message() + ")", error);
    }
    struct stat info {};
    if (::fstat(handle.fd, &info) != 0 || !S_ISREG(info.st_mode)) throw ImageLoadError(file, "not a regular file");
    const Bytes bytes(handle.fd, static_cast<u64>(info.st_size));
    if (cameraRaw(extension)) return extension;
    try {
        unsigned char head[8] = {};
        bytes.read(0, head, std::min<u64>(sizeof head, bytes.size()));
        const auto starts = [&](std::string_view magic) {
            return bytes.size() >= magic.size() && std::memcmp(head, magic.data(), magic.size()) == 0;
        };
        if (starts("\x89PNG\r\n\x1a\n")) {
            checkPng(bytes);
            return "png";
        }
        if (starts("\xFF\xD8\xFF")) {
            checkJpeg(bytes, 0, bytes.size());
            return "jpeg";
        }
        if (starts("8BPS")) {
            checkPsd(bytes);
            return "psd";
        }
        if (starts(std::string_view("\x76\x2f\x31\x01", 4))) {
            checkExr(bytes);
            return "openexr";
        }
        if (starts(std::string_view("II*\0", 4)) || starts(std::string_view("MM\0*", 4)) ||
            starts(std::string_view("II+\0", 4)) || starts(std::string_view("MM\0+", 4))) {
            checkTiff(bytes);
            return "tiff";
        }
        if (starts("BM")) {
            checkBmp(bytes);
            return "bmp";
        }
        if (extension == "tga") {
            checkTarga(bytes);
            return "targa";
        }
    } catch (const Refusal& refusal) {
        if (refusal.tooLarge) throw ImageLoadError::tooLarge(file, refusal.reason, *refusal.tooLarge);
        throw ImageLoadError(file, refusal.reason);
    }
    static const std::set<std::string> knownByContent{"png", "jpg", "jpeg", "psd", "exr", "tif", "tiff", "bmp"};
    if (extension.empty() || knownByContent.contains(extension)) {
        throw ImageLoadError(file, "not a readable image (its content is no image of a kind this program reads)");
    }
    return extension;
}

}  // namespace morvale
