#include "image_engine/png_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/cancellation.h"
#include "image_engine/png_format.h"

namespace morvale {

namespace {

using png_format::isType;
using png_format::readBE32;

// Files above this are left to the streaming decoder rather than read whole into memory.
constexpr std::uint64_t maxFileBytes = std::uint64_t{1} << 30;
// Inflated rows above this (16-bit RGBA beyond about 8K²) are left to the streaming decoder too.
constexpr std::uint64_t maxRawBytes = std::uint64_t{512} << 20;
// A deflate stream cannot grow its input more than 1032 times (258 bytes from two bits); a file
// claiming more is short before a byte is inflated, so nothing is allocated for it.
constexpr std::uint64_t maxInflation = 1032;

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};

[[noreturn]] void damaged(const std::string& what) { throw PngReadError("the PNG " + what); }

std::string chunkName(const std::uint8_t* type) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(type[i]);
        name += ascii::isAlpha(c) ? c : '?';
    }
    return name;
}

bool validDepth(int colourType, int depth) {
    switch (colourType) {
        case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
        case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
        case 2:
        case 4:
        case 6: return depth == 8 || depth == 16;
        default: return false;
    }
}

int channelsOf(int colourType) {
    switch (colourType) {
        case 0: return 1;
        case 2: return 3;
        case 3: return 1;
        case 4: return 2;
        default: return 4;
    }
}

// Keywords of text chunks in which the general decoder finds EXIF or XMP (and so an orientation).
bool keywordMayCarryOrientation(const std::uint8_t* data, std::size_t length) {
    const std::string_view keyword(reinterpret_cast<const char*>(data), std::min<std::size_t>(length, 79));
    const std::string lowered = ascii::lowered(keyword.substr(0, keyword.find('\0')));
    return lowered.rfind("raw profile type", 0) == 0 || lowered.rfind("xml:com.adobe.xmp", 0) == 0;
}

inline std::uint8_t to8(unsigned hi, unsigned lo) {
    const unsigned v = (hi << 8) | lo;
    return static_cast<std::uint8_t>((v * 255u + 32767u) / 65535u);
}

void unfilter(std::uint8_t* row, const std::uint8_t* prev, std::size_t rowBytes, std::size_t bpp, int type) {
    switch (type) {
        case 0: return;
        case 1:
            for (std::size_t i = bpp; i < rowBytes; ++i) row[i] = static_cast<std::uint8_t>(row[i] + row[i - bpp]);
            return;
        case 2:
            for (std::size_t i = 0; i < rowBytes; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prev[i]);
            return;
        case 3:
            for (std::size_t i = 0; i < bpp; ++i) row[i] = static_cast<std::uint8_t>(row[i] + (prev[i] >> 1));
            for (std::size_t i = bpp; i < rowBytes; ++i) {
                row[i] = static_cast<std::uint8_t>(row[i] + ((unsigned{row[i - bpp]} + prev[i]) >> 1));
            }
            return;
        default:
            for (std::size_t i = 0; i < bpp; ++i) row[i] = static_cast<std::uint8_t>(row[i] + prev[i]);
            for (std::size_t i = bpp; i < rowBytes; ++i) {
                row[i] = static_cast<std::uint8_t>(row[i] + png_format::paeth(row[i - bpp], prev[i], prev[i - bpp]));
            }
            return;
    }
}

struct Layout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int depth = 0;
    int colourType = 0;
    std::uint8_t palette[256][4] = {};
    int paletteCount = 0;
    bool hasTransparency = false;  // tRNS given: palette alphas, or the key colour below
    unsigned key[3] = {};
};

// Spreads one unfiltered row to RGBA; false when a palette index lies beyond the palette.
bool spreadRow(const Layout& layout, const std::uint8_t* row, std::uint8_t* out) {
    const std::size_t w = layout.width;
    const bool wide = layout.depth == 16;
    const bool keyed = layout.hasTransparency;
    switch (layout.colourType) {
        case 0:
            for (std::size_t x = 0; x < w; ++x) {
                const unsigned raw = wide ? (unsigned{row[2 * x]} << 8) | row[2 * x + 1] : row[x];
                const std::uint8_t v = wide ? to8(row[2 * x], row[2 * x + 1]) : row[x];
                out[4 * x] = out[4 * x + 1] = out[4 * x + 2] = v;
                out[4 * x + 3] = keyed && raw == layout.key[0] ? 0 : 255;
            }
            return true;
        case 2:
            for (std::size_t x = 0; x < w; ++x) {
                unsigned raw[3];
                for (std::size_t c = 0; c < 3; ++c) {
                    if (wide) {
                        const std::uint8_t* s = row + 6 * x + 2 * c;
                        raw[c] = (unsigned{s[0]} << 8) | s[1];
                        out[4 * x + c] = to8(s[0], s[1]);
                    } else {
                        raw[c] = row[3 * x + c];
                        out[4 * x + c] = row[3 * x + c];
                    }
                }
                out[4 * x + 3] =
                    keyed && raw[0] == layout.key[0] && raw[1] == layout.key[1] && raw[2] == layout.key[2] ? 0 : 255;
            }
            return true;
        case 3: {
            const int depth = layout.depth;
            const unsigned perByte = 8u / static_cast<unsigned>(depth);
            const unsigned mask = (1u << depth) - 1u;
            for (std::size_t x = 0; x < w; ++x) {
                const unsigned shift = 8u - static_cast<unsigned>(depth) * (1u + static_cast<unsigned>(x % perByte));
                const unsigned index = (unsigned{row[x / perByte]} >> shift) & mask;
                if (index >= static_cast<unsigned>(layout.paletteCount)) return false;
                std::memcpy(out + 4 * x, layout.palette[index], 4);
            }
            return true;
        }
        case 4:
            for (std::size_t x = 0; x < w; ++x) {
                const std::uint8_t v = wide ? to8(row[4 * x], row[4 * x + 1]) : row[2 * x];
                out[4 * x] = out[4 * x + 1] = out[4 * x + 2] = v;
                out[4 * x + 3] = wide ? to8(row[4 * x + 2], row[4 * x + 3]) : row[2 * x + 1];
            }
            return true;
        default:
            if (!wide) {
                std::memcpy(out, row, 4 * w);
                return true;
            }
            for (std::size_t i = 0; i < 4 * w; ++i) out[i] = to8(row[2 * i], row[2 * i + 1]);
            return true;
    }
}

}  // namespace

namespace {

// `owner`, when given, holds the file's bytes: the IDAT pieces are joined in place and the file is
// released before the pixels are allocated, so that a file costs no more memory than its pixels.
std::optional<PngReader::Decoded> decodeBytes(std::span<const std::uint8_t> file, const PngReader::Options& options,
                                              std::unique_ptr<std::uint8_t[]>* owner) {
    const std::uint8_t* bytes = file.data();
    const std::size_t size = file.size();
    if (size < png_format::signature.size() ||
        !std::equal(png_format::signature.begin(), png_format::signature.end(), bytes)) {
        return std::nullopt;
    }

    Layout layout;
    std::vector<std::span<const std::uint8_t>> idat;
    bool headerSeen = false, idatEnded = false, transparencySeen = false, ended = false;
    std::uint64_t idatBytes = 0;

    std::size_t at = png_format::signature.size();
    while (!ended) {
        if (size - at < 12) damaged("file is cut short");
        const std::uint32_t length = readBE32(bytes + at);
        const std::uint8_t* type = bytes + at + 4;
        if (length > png_format::maxChunkLength) damaged("data is damaged (a chunk length is out of range)");
        if (size - at - 12 < length) damaged("file is cut short");
        for (int i = 0; i < 4; ++i) {
            if (!ascii::isAlpha(static_cast<char>(type[i]))) damaged("data is damaged (an invalid chunk type)");
        }
        const std::uint8_t* data = type + 4;
        if (libdeflate_crc32(0, type, std::size_t{length} + 4) != readBE32(data + length)) {
            damaged("data is damaged (bad CRC in chunk " + chunkName(type) + ")");
        }
        at += std::size_t{length} + 12;

        if (!headerSeen) {
            if (!isType(type, "IHDR") || length != 13) damaged("header is missing");
            headerSeen = true;
            layout.width = readBE32(data);
            layout.height = readBE32(data + 4);
            layout.depth = data[8];
            layout.colourType = data[9];
            if (layout.width == 0 || layout.height == 0 || layout.width > png_format::maxChunkLength ||
                layout.height > png_format::maxChunkLength || !validDepth(layout.colourType, layout.depth) ||
                data[10] != 0 || data[11] != 0 || data[12] > 1) {
                damaged("header is invalid");
            }
            if (layout.width > static_cast<std::uint32_t>(options.maxSide) ||
                layout.height > static_cast<std::uint32_t>(options.maxSide) ||
                std::int64_t{layout.width} * layout.height > options.maxPixels) {
                throw PngReadError("the image is too large (" + std::to_string(layout.width) + "x" +
                                   std::to_string(layout.height) + "; at most " + std::to_string(options.maxSide) +
                                   " pixels per side and " + std::to_string(options.maxPixels) + " in all)");
            }
            if (data[12] == 1 || (layout.colourType == 0 && layout.depth < 8)) return std::nullopt;
            continue;
        }
        const bool isIdat = isType(type, "IDAT");
        if (!idat.empty() && !isIdat) idatEnded = true;
        if (isIdat) {
            if (idatEnded) return std::nullopt;
            if (layout.colourType == 3 && layout.paletteCount == 0) damaged("palette is missing");
            idat.emplace_back(data, length);
            idatBytes += length;
        } else if (isType(type, "IEND")) {
            ended = true;
        } else if (isType(type, "PLTE")) {
            if (!idat.empty() || layout.paletteCount > 0 || transparencySeen) return std::nullopt;
            if (layout.colourType == 0 || layout.colourType == 4) return std::nullopt;
            if (layout.colourType == 3) {
                if (length == 0 || length % 3 != 0 || length / 3 > 256) damaged("palette is invalid");
                // Entries beyond what the depth can index are dropped, as libpng does.
                layout.paletteCount = static_cast<int>(std::min(length / 3, 1u << layout.depth));
                for (int i = 0; i < layout.paletteCount; ++i) {
                    std::memcpy(layout.palette[i], data + 3 * i, 3);
                    layout.palette[i][3] = 255;
                }
            }
        } else if (isType(type, "tRNS")) {
            if (!idat.empty() || transparencySeen) return std::nullopt;
            transparencySeen = true;
            const unsigned maxSample = (1u << layout.depth) - 1u;
            if (layout.colourType == 3) {
                if (layout.paletteCount == 0 || length == 0 || length > static_cast<std::uint32_t>(layout.paletteCount)) {
                    return std::nullopt;
                }
                for (std::uint32_t i = 0; i < length; ++i) layout.palette[i][3] = data[i];
            } else if (layout.colourType == 0 || layout.colourType == 2) {
                const std::uint32_t samples = layout.colourType == 0 ? 1 : 3;
                if (length != 2 * samples) return std::nullopt;
                for (std::uint32_t c = 0; c < samples; ++c) {
                    layout.key[c] = (unsigned{data[2 * c]} << 8) | data[2 * c + 1];
                    if (layout.key[c] > maxSample) return std::nullopt;
                }
            } else {
                return std::nullopt;
            }
            layout.hasTransparency = true;
        } else if (isType(type, "eXIf")) {
            if (options.leaveFilesWithExif) return std::nullopt;
        } else if (isType(type, "tEXt") || isType(type, "zTXt") || isType(type, "iTXt")) {
            if (options.leaveFilesWithExif && keywordMayCarryOrientation(data, length)) return std::nullopt;
        } else if ((type[0] & 0x20) == 0) {
            // An unknown critical chunk: whether the file can be shown is the general decoder's call.
            return std::nullopt;
        }
    }
    if (idat.empty()) damaged("file has no image data");

    const int channels = channelsOf(layout.colourType);
    const std::uint64_t rowBytes = (std::uint64_t{layout.width} * static_cast<unsigned>(channels) *
                                        static_cast<unsigned>(layout.depth) + 7) / 8;
    const std::uint64_t rawBytes = layout.height * (rowBytes + 1);
    if (rawBytes > maxRawBytes) return std::nullopt;
    if (rawBytes > idatBytes * maxInflation + 1024) damaged("image data ends early");
    const std::size_t bpp = std::max<std::size_t>(1, static_cast<std::size_t>(channels * layout.depth / 8));

    std::vector<std::uint8_t> joined;
    std::span<const std::uint8_t> stream = idat.front();
    if (idat.size() > 1 && owner != nullptr) {
        // Each piece moves down over the chunk headers before it; none overtakes its source.
        std::uint8_t* base = owner->get();
        std::size_t to = static_cast<std::size_t>(idat.front().data() - bytes);
        for (const auto& piece : idat) {
            std::memmove(base + to, piece.data(), piece.size());
            to += piece.size();
        }
        stream = {base + (idat.front().data() - bytes), static_cast<std::size_t>(idatBytes)};
    } else if (idat.size() > 1) {
        joined.reserve(idatBytes);
        for (const auto& piece : idat) joined.insert(joined.end(), piece.begin(), piece.end());
        stream = joined;
    }
    throwIfStopRequested(options.stop);
    std::unique_ptr<std::uint8_t[]> raw(new std::uint8_t[rawBytes]);
    {
        std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(libdeflate_alloc_decompressor());
        if (!decompressor) throw std::bad_alloc();
        std::size_t consumed = 0;
        const libdeflate_result result = libdeflate_zlib_decompress_ex(
            decompressor.get(), stream.data(), stream.size(), raw.get(), rawBytes, &consumed, nullptr);
        switch (result) {
            case LIBDEFLATE_SUCCESS: break;
            case LIBDEFLATE_SHORT_OUTPUT: damaged("image data ends early");
            case LIBDEFLATE_INSUFFICIENT_SPACE: damaged("image data runs past the image");
            default: damaged("image data is damaged");
        }
        if (consumed != stream.size()) damaged("image data runs past the image");
    }
    joined = {};
    if (owner != nullptr) owner->reset();

    PngReader::Decoded result;
    result.monochrome = layout.colourType == 0 || layout.colourType == 4;
    PackedTexture& out = result.pixels;
    out.width = static_cast<int>(layout.width);
    out.height = static_cast<int>(layout.height);
    out.rgba.resize(std::size_t{layout.width} * layout.height * 4);
    const std::vector<std::uint8_t> zeroRow(rowBytes);
    const std::uint8_t* prev = zeroRow.data();
    for (std::size_t y = 0; y < layout.height; ++y) {
        if (y % 256 == 0) throwIfStopRequested(options.stop);
        std::uint8_t* line = raw.get() + y * (rowBytes + 1);
        if (line[0] > 4) {
            damaged("image data is damaged (row " + std::to_string(y) + " has the unknown filter type " +
                    std::to_string(line[0]) + ")");
        }
        unfilter(line + 1, prev, rowBytes, bpp, line[0]);
        if (!spreadRow(layout, line + 1, out.rgba.data() + y * layout.width * 4)) return std::nullopt;
        prev = line + 1;
    }
    return result;
}

}  // namespace

std::optional<PngReader::Decoded> PngReader::decode(std::span<const std::uint8_t> file, const Options& options) {
    return decodeBytes(file, options, nullptr);
}

std::optional<PngReader::Decoded> PngReader::decodeFile(const std::filesystem::path& file, const Options& options) {
    // Non-blocking, so that a FIFO given a texture's name is turned away by the regular-file check below
    // instead of waiting for a writer that never comes.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 8 ||
        static_cast<std::uint64_t>(status.st_size) > maxFileBytes) {
        return std::nullopt;
    }
    std::uint8_t head[33];
    if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
        !std::equal(png_format::signature.begin(), png_format::signature.end(), head) ||
        !png_format::isType(head + 12, "IHDR")) {
        return std::nullopt;
    }
    // The file is read whole only when an image of the header's size could fill it; a huge or
    // sparse file behind a small header goes to the header guard, which refuses it unread.
    const std::uint32_t width = readBE32(head + 16), height = readBE32(head + 20);
    const bool headerValid = width != 0 && height != 0 && width <= static_cast<std::uint32_t>(options.maxSide) &&
                             height <= static_cast<std::uint32_t>(options.maxSide) && validDepth(head[25], head[24]);
    if (headerValid) {
        const std::uint64_t rawBytes = png_format::filteredRowBytes(
            width, height, static_cast<std::uint64_t>(channelsOf(head[25])) * head[24]);
        if (rawBytes > maxRawBytes ||
            static_cast<std::uint64_t>(status.st_size) > png_format::maxLegalFileBytes(rawBytes)) {
            return std::nullopt;
        }
    }
    throwIfStopRequested(options.stop);
    // Read chunk by chunk into a buffer left uninitialised, so that memory is only taken for what
    // is read; reading ends at IEND or at the first chunk that cannot be right, and the decoder
    // then says what is wrong with the bytes read so far.
    // Of a file with an invalid header only the header is read, for the decoder to say so.
    const auto size = headerValid ? static_cast<std::size_t>(status.st_size) : sizeof head;
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size]);
    const auto readAt = [&](std::size_t offset, std::size_t count) {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = ::pread(fd, bytes.get() + offset + done, count - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    };
    std::size_t filled = 0;
    for (std::size_t chunks = 0;; ++chunks) {
        if (chunks % 1024 == 0) throwIfStopRequested(options.stop);
        const std::size_t header = std::min<std::size_t>(size - filled, filled == 0 ? 8 + 8 : 8);
        if (!readAt(filled, header)) return std::nullopt;
        filled += header;
        if (size - filled < 4 || (filled == header && header < 16)) break;
        const std::uint8_t* chunk = bytes.get() + filled - 8;
        const std::uint32_t length = readBE32(chunk);
        if (!png_format::isChunkType(chunk + 4) || length > size - filled - 4) break;
        if (!readAt(filled, std::size_t{length} + 4)) return std::nullopt;
        filled += std::size_t{length} + 4;
        if (isType(chunk + 4, "IEND") || size - filled < 8) break;
    }
    return decodeBytes({bytes.get(), filled}, options, &bytes);
}

}  // namespace morvale
