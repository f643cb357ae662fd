#include "batch_core/jpeg_metadata_editor.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>

#include <openssl/evp.h>

#include "base/hex.h"
#include "batch_core/xmp_location.h"

namespace morvale {

namespace {

using Keep = JpegMetadataEditor::Keep;

constexpr std::string_view kExifSignature("Exif\0", 5);  // a sixth byte, normally 0, follows
constexpr std::string_view kXmpSignature("http://ns.adobe.com/xap/1.0/\0", 29);
constexpr std::string_view kExtendedXmpSignature("http://ns.adobe.com/xmp/extension/\0", 35);
constexpr std::size_t kExtendedHeader = kExtendedXmpSignature.size() + 32 + 4 + 4;

// The GUID that ties extended XMP to its main packet: the packet's MD5 as 32 upper-case digits.
std::string extendedXmpGuid(std::string_view packet) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(packet.data(), packet.size(), digest, &length, EVP_md5(), nullptr) != 1 || length != 16) {
        throw std::runtime_error("MD5 is not available");
    }
    return hexEncoded(std::string_view(reinterpret_cast<const char*>(digest), length), true);
}
// Thumbnails inside thumbnails inside appended images: deeper than any camera goes.
constexpr int kMaxDepth = 3;
// Candidates for appended images looked at after the main image.
constexpr int kMaxAppended = 4096;
// An extended packet larger than this is not put together; it is removed instead.
constexpr std::uint32_t kMaxExtendedBytes = 64u << 20;

unsigned byteAt(std::string_view bytes, std::size_t at) { return static_cast<unsigned char>(bytes[at]); }

struct Segment {
    unsigned marker = 0;
    std::size_t start = 0;    // just after the previous segment (stray and fill bytes included)
    std::size_t payload = 0;  // after the length field
    std::size_t end = 0;      // one past the segment
};

struct Layout {
    std::vector<Segment> header;  // between SOI and the first SOS
    std::size_t scanStart = 0;    // at the first SOS marker
    std::size_t scanEnd = 0;      // one past EOI, or the end of a file cut short
};

bool isStandalone(unsigned marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

// The markers a decoder accepts before the first scan; any other (a second SOI, the reserved
// ones) stops it, and metadata readers disagree on how long such a segment is, so a file holding
// one is not walked at all.
bool isKnownSegment(unsigned marker) {
    return (marker >= 0xC0 && marker <= 0xCF) || marker == 0xDA || marker == 0xDB || marker == 0xDD ||
           (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
}

std::optional<Layout> walk(std::string_view file, bool throughScan) {
    if (!JpegMetadataEditor::looksLikeJpeg(file)) return std::nullopt;
    Layout layout;
    std::size_t at = 2;
    for (;;) {
        // Stray bytes before a marker are skipped, as decoders and metadata readers do; the next
        // segment takes them along, so nothing of the file is lost.
        const std::size_t start = at;
        while (at < file.size() && byteAt(file, at) != 0xFF) ++at;
        if (at >= file.size()) return std::nullopt;
        while (at < file.size() && byteAt(file, at) == 0xFF) ++at;
        if (at >= file.size()) return std::nullopt;
        const unsigned marker = byteAt(file, at++);
        if (isStandalone(marker)) {
            layout.header.push_back({marker, start, at, at});
            continue;
        }
        if (!isKnownSegment(marker) || file.size() - at < 2) return std::nullopt;
        const std::size_t length = byteAt(file, at) << 8 | byteAt(file, at + 1);
        if (length < 2 || file.size() - at < length) return std::nullopt;
        if (marker == 0xDA) {
            layout.scanStart = start;
            at += length;
            break;
        }
        layout.header.push_back({marker, start, at + 2, at + length});
        at += length;
    }
    layout.scanEnd = file.size();
    if (!throughScan) return layout;
    // Through the entropy-coded data and whatever tables stand between the scans, to EOI.
    while (at + 1 < file.size()) {
        const void* found = std::memchr(file.data() + at, 0xFF, file.size() - at - 1);
        if (!found) break;
        at = static_cast<std::size_t>(static_cast<const char*>(found) - file.data());
        const unsigned next = byteAt(file, at + 1);
        if (next == 0x00 || next == 0xFF || next == 0x01 || (next >= 0xD0 && next <= 0xD7)) {
            ++at;
            continue;
        }
        if (next == 0xD9) {
            layout.scanEnd = at + 2;
            break;
        }
        if (file.size() - at < 4) break;
        const std::size_t length = byteAt(file, at + 2) << 8 | byteAt(file, at + 3);
        if (length < 2 || file.size() - at - 2 < length) break;
        at += 2 + length;
    }
    return layout;
}

// -- EXIF: a TIFF structure inside the APP1 segment ---------------------------------------------

class Tiff {
public:
    Tiff(char* data, std::size_t size) : data_(data), size_(size) {}

    bool open() {
        if (size_ < 8) return false;
        if (std::memcmp(data_, "II*\0", 4) == 0) {
            big_ = false;
        } else if (std::memcmp(data_, "MM\0*", 4) == 0) {
            big_ = true;
        } else {
            return false;
        }
        return true;
    }

    bool contains(std::size_t at, std::size_t length) const { return at <= size_ && length <= size_ - at; }
    std::uint32_t u16(std::size_t at) const {
        const auto a = static_cast<unsigned char>(data_[at]), b = static_cast<unsigned char>(data_[at + 1]);
        return big_ ? (a << 8 | b) : (b << 8 | a);
    }
    std::uint32_t u32(std::size_t at) const {
        return big_ ? (u16(at) << 16 | u16(at + 2)) : (u16(at + 2) << 16 | u16(at));
    }
    void put16(std::size_t at, std::uint32_t value) {
        data_[at + (big_ ? 1 : 0)] = static_cast<char>(value & 0xFF);
        data_[at + (big_ ? 0 : 1)] = static_cast<char>((value >> 8) & 0xFF);
    }
    void zero(std::size_t at, std::size_t length) { std::memset(data_ + at, 0, length); }
    void move(std::size_t to, std::size_t from, std::size_t length) { std::memmove(data_ + to, data_ + from, length); }
    char* at(std::size_t offset) const { return data_ + offset; }
    std::size_t size() const { return size_; }

private:
    char* data_;
    std::size_t size_;
    bool big_ = false;
};

struct Directory {
    std::size_t at = 0;
    std::size_t count = 0;
    std::size_t entry(std::size_t index) const { return at + 2 + 12 * index; }
    std::size_t next() const { return entry(count); }
};

std::optional<Directory> directoryAt(const Tiff& tiff, std::uint32_t offset) {
    if (offset < 8 || !tiff.contains(offset, 2)) return std::nullopt;
    const std::size_t count = tiff.u16(offset);
    if (!tiff.contains(offset + 2, 12 * count)) return std::nullopt;
    return Directory{offset, count};
}

std::size_t typeSize(std::uint32_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

std::optional<std::uint32_t> findValue(const Tiff& tiff, const Directory& directory, std::uint32_t tag) {
    for (std::size_t i = 0; i < directory.count; ++i) {
        const std::size_t entry = directory.entry(i);
        if (tiff.u16(entry) != tag) continue;
        const std::uint32_t type = tiff.u16(entry + 2);
        if (tiff.u32(entry + 4) < 1) return std::nullopt;
        if (type == 3) return tiff.u16(entry + 8);
        if (type == 4 || type == 13) return tiff.u32(entry + 8);
        return std::nullopt;
    }
    return std::nullopt;
}

// The bytes of an ASCII entry (NUL-terminated), or nothing.
std::string asciiValue(const Tiff& tiff, const Directory& directory, std::uint32_t tag) {
    for (std::size_t i = 0; i < directory.count; ++i) {
        const std::size_t entry = directory.entry(i);
        if (tiff.u16(entry) != tag || tiff.u16(entry + 2) != 2) continue;
        const std::uint32_t count = tiff.u32(entry + 4);
        if (count == 0 || count > 16384) return {};
        const std::size_t at = count <= 4 ? entry + 8 : tiff.u32(entry + 8);
        if (!tiff.contains(at, count)) return {};
        std::string value(tiff.at(at), count);
        if (value.back() != '\0') value += '\0';
        return value;
    }
    return {};
}

struct Pass {
    bool write = false;
    bool found = false;
};

void scrubEmbedded(char* data, std::size_t size, int depth, Pass& pass);

// Unlinks every GPS directory pointer of one directory; returns where the directories were.
void unlinkLocation(Tiff& tiff, Directory& directory, std::vector<std::uint32_t>& targets, Pass& pass) {
    for (std::size_t i = 0; i < directory.count;) {
        const std::size_t entry = directory.entry(i);
        if (tiff.u16(entry) != 0x8825) {
            ++i;
            continue;
        }
        pass.found = true;
        if (!pass.write) return;
        targets.push_back(tiff.u32(entry + 8));
        const bool hasNext = tiff.contains(directory.next(), 4);
        tiff.move(entry, entry + 12, 12 * (directory.count - 1 - i) + (hasNext ? 4 : 0));
        --directory.count;
        tiff.put16(directory.at, static_cast<std::uint32_t>(directory.count));
        tiff.zero(directory.next() + (hasNext ? 4 : 0), 12);
    }
}

// Zeroes a GPS directory and the values it points to, so that the coordinates are gone from the
// bytes and not only unreachable.
void wipeDirectory(Tiff& tiff, std::uint32_t offset) {
    const auto directory = directoryAt(tiff, offset);
    if (!directory) return;
    for (std::size_t i = 0; i < directory->count; ++i) {
        const std::size_t entry = directory->entry(i);
        const std::uint64_t bytes = std::uint64_t{typeSize(tiff.u16(entry + 2))} * tiff.u32(entry + 4);
        if (bytes > 4 && bytes <= tiff.size() && tiff.contains(tiff.u32(entry + 8), bytes)) {
            tiff.zero(tiff.u32(entry + 8), bytes);
        }
    }
    tiff.zero(directory->at, 2 + 12 * directory->count + (tiff.contains(directory->next(), 4) ? 4 : 0));
}

void scrubThumbnail(const Tiff& tiff, const Directory& directory, int depth, Pass& pass) {
    const auto offset = findValue(tiff, directory, 0x0201);
    const auto length = findValue(tiff, directory, 0x0202);
    if (!offset || !length || !tiff.contains(*offset, *length) || depth >= kMaxDepth) return;
    scrubEmbedded(tiff.at(*offset), *length, depth + 1, pass);
}

// False when the TIFF structure cannot be read.
bool scrubExif(char* data, std::size_t size, int depth, Pass& pass) {
    Tiff tiff(data, size);
    if (!tiff.open()) return false;
    auto first = directoryAt(tiff, tiff.u32(4));
    if (!first) return false;
    std::vector<std::uint32_t> targets;
    unlinkLocation(tiff, *first, targets, pass);
    if (const auto exifOffset = findValue(tiff, *first, 0x8769)) {
        if (auto exif = directoryAt(tiff, *exifOffset)) unlinkLocation(tiff, *exif, targets, pass);
    }
    scrubThumbnail(tiff, *first, depth, pass);
    if (tiff.contains(first->next(), 4)) {
        if (auto second = directoryAt(tiff, tiff.u32(first->next()))) {
            unlinkLocation(tiff, *second, targets, pass);
            scrubThumbnail(tiff, *second, depth, pass);
        }
    }
    for (const std::uint32_t target : targets) wipeDirectory(tiff, target);
    return true;
}

// -- XMP ----------------------------------------------------------------------------------------

struct ExtendedChunk {
    char* body;  // the segment's payload, signature first
    std::size_t size;
};

void scrubExtended(std::map<std::string, std::vector<ExtendedChunk>>& groups, std::vector<ExtendedChunk>& mainPackets,
                   Pass& pass) {
    for (auto& [guid, chunks] : groups) {
        const auto fullLength = [](const ExtendedChunk& c) {
            const auto* b = reinterpret_cast<const unsigned char*>(c.body + kExtendedXmpSignature.size() + 32);
            return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
        };
        const auto offsetOf = [](const ExtendedChunk& c) {
            const auto* b = reinterpret_cast<const unsigned char*>(c.body + kExtendedXmpSignature.size() + 36);
            return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
        };
        const std::uint32_t length = fullLength(chunks.front());
        std::uint64_t carried = 0;
        bool whole = length <= kMaxExtendedBytes;
        for (const auto& chunk : chunks) {
            const std::size_t data = chunk.size - kExtendedHeader;
            carried += data;
            whole = whole && fullLength(chunk) == length && offsetOf(chunk) <= length && data <= length - offsetOf(chunk);
        }
        whole = whole && carried >= length;
        if (!whole) {
            // Pieces that do not add up to their packet: no reader can be trusted with them.
            pass.found = true;
            if (pass.write) {
                for (auto& chunk : chunks) std::memset(chunk.body, 0, chunk.size);
            }
            continue;
        }
        std::string packet(length, ' ');
        for (const auto& chunk : chunks) {
            std::memcpy(packet.data() + offsetOf(chunk), chunk.body + kExtendedHeader, chunk.size - kExtendedHeader);
        }
        if (!xmp_location::present(packet)) continue;
        pass.found = true;
        if (!pass.write) continue;
        xmp_location::blank(packet.data(), packet.size());
        // Readers match the chunks' GUID against the main packet's reference.
        const std::string newGuid = extendedXmpGuid(packet);
        for (auto& chunk : chunks) {
            std::memcpy(chunk.body + kExtendedHeader, packet.data() + offsetOf(chunk), chunk.size - kExtendedHeader);
            std::memcpy(chunk.body + kExtendedXmpSignature.size(), newGuid.data(), 32);
        }
        for (auto& main : mainPackets) {
            char* const end = main.body + main.size;
            for (char* at = main.body; (at = std::search(at, end, guid.begin(), guid.end())) != end; at += 32) {
                std::memcpy(at, newGuid.data(), 32);
            }
        }
    }
}

bool startsWith(const char* data, std::size_t size, std::string_view prefix) {
    return size >= prefix.size() && std::memcmp(data, prefix.data(), prefix.size()) == 0;
}

void scrubSegments(char* file, const std::vector<Segment>& header, int depth, Pass& pass) {
    std::map<std::string, std::vector<ExtendedChunk>> extended;
    std::vector<ExtendedChunk> mainPackets;
    for (const Segment& segment : header) {
        if (segment.marker != 0xE1) continue;
        char* const body = file + segment.payload;
        const std::size_t size = segment.end - segment.payload;
        if (startsWith(body, size, kExifSignature) && size >= 6) {
            Pass exif{pass.write, false};
            const bool readable = scrubExif(body + 6, size - 6, depth, exif);
            if (pass.write && readable && exif.found) {
                // Overlapping directories can move one GPS pointer into another's place: check again.
                Pass again{false, false};
                scrubExif(body + 6, size - 6, depth, again);
                if (again.found) std::memset(body, 0, size);
            }
            if (!readable) {
                pass.found = true;
                if (pass.write) std::memset(body, 0, size);
            }
            pass.found = pass.found || exif.found;
        } else if (startsWith(body, size, kXmpSignature)) {
            char* const packet = body + kXmpSignature.size();
            const std::size_t length = size - kXmpSignature.size();
            if (pass.write) {
                pass.found = xmp_location::blank(packet, length) || pass.found;
            } else {
                pass.found = pass.found || xmp_location::present(std::string_view(packet, length));
            }
            mainPackets.push_back({packet, length});
        } else if (startsWith(body, size, kExtendedXmpSignature)) {
            if (size < kExtendedHeader) {
                pass.found = true;
                if (pass.write) std::memset(body, 0, size);
                continue;
            }
            extended[std::string(body + kExtendedXmpSignature.size(), 32)].push_back({body, size});
        }
    }
    scrubExtended(extended, mainPackets, pass);
}

void scrubEmbedded(char* data, std::size_t size, int depth, Pass& pass) {
    const auto layout = walk(std::string_view(data, size), false);
    if (layout) scrubSegments(data, layout->header, depth, pass);
}

// Images appended after the main one (the multi-picture format's second images, phone trailers).
void scrubAppended(char* file, std::size_t from, std::size_t size, Pass& pass) {
    static constexpr char soi[] = "\xFF\xD8\xFF";
    std::string_view rest(file, size);
    int candidates = 0;
    for (std::size_t at = rest.find(std::string_view(soi, 3), from);
         at != std::string_view::npos && candidates < kMaxAppended; at = rest.find(std::string_view(soi, 3), at)) {
        ++candidates;
        const auto layout = walk(rest.substr(at), false);
        if (!layout) {
            ++at;
            continue;
        }
        scrubSegments(file + at, layout->header, 1, pass);
        at += std::max<std::size_t>(layout->scanStart, 1);
    }
}

// -- The stricter options: a new header with only what they keep -------------------------------

struct Essentials {
    std::optional<std::uint32_t> orientation;
    std::string copyright;
    std::string artist;
};

std::optional<std::uint32_t> orientationInXmp(std::string_view packet) {
    static constexpr std::string_view name = "tiff:Orientation";
    for (std::size_t at = packet.find(name); at != std::string_view::npos; at = packet.find(name, at + 1)) {
        std::size_t cursor = at + name.size();
        while (cursor < packet.size() && (packet[cursor] == '=' || packet[cursor] == '"' || packet[cursor] == '\'' ||
                                          packet[cursor] == '>' || packet[cursor] == ' ')) {
            ++cursor;
        }
        if (cursor < packet.size() && packet[cursor] >= '1' && packet[cursor] <= '8' &&
            (cursor + 1 == packet.size() || packet[cursor + 1] < '0' || packet[cursor + 1] > '9')) {
            return static_cast<std::uint32_t>(packet[cursor] - '0');
        }
    }
    return std::nullopt;
}

Essentials essentialsOf(char* file, const std::vector<Segment>& header) {
    Essentials kept;
    bool exifRead = false;
    for (const Segment& segment : header) {
        if (segment.marker != 0xE1) continue;
        char* const body = file + segment.payload;
        const std::size_t size = segment.end - segment.payload;
        if (!exifRead && startsWith(body, size, kExifSignature) && size >= 6) {
            Tiff tiff(body + 6, size - 6);
            if (!tiff.open()) continue;
            const auto first = directoryAt(tiff, tiff.u32(4));
            if (!first) continue;
            exifRead = true;
            const auto orientation = findValue(tiff, *first, 0x0112);
            if (orientation && *orientation >= 1 && *orientation <= 8) kept.orientation = orientation;
            kept.copyright = asciiValue(tiff, *first, 0x8298);
            kept.artist = asciiValue(tiff, *first, 0x013B);
        } else if (!kept.orientation && startsWith(body, size, kXmpSignature)) {
            kept.orientation = orientationInXmp(std::string_view(body, size).substr(kXmpSignature.size()));
        }
    }
    return kept;
}

// An APP1 segment with one big-endian directory of what is kept, or nothing when nothing is.
std::string essentialSegment(const Essentials& kept) {
    struct Entry {
        std::uint16_t tag;
        std::uint16_t type;
        std::string value;
    };
    std::vector<Entry> entries;
    if (kept.orientation) entries.push_back({0x0112, 3, {'\0', static_cast<char>(*kept.orientation)}});
    if (!kept.artist.empty()) entries.push_back({0x013B, 2, kept.artist});
    if (!kept.copyright.empty()) entries.push_back({0x8298, 2, kept.copyright});
    if (entries.empty()) return {};

    const auto put16 = [](std::string& out, std::uint32_t v) {
        out += static_cast<char>((v >> 8) & 0xFF);
        out += static_cast<char>(v & 0xFF);
    };
    const auto put32 = [&](std::string& out, std::uint32_t v) {
        put16(out, v >> 16);
        put16(out, v & 0xFFFF);
    };
    std::string tiff("MM\0*\0\0\0\x08", 8);
    std::string values;
    const std::size_t valuesAt = 8 + 2 + 12 * entries.size() + 4;
    put16(tiff, static_cast<std::uint32_t>(entries.size()));
    for (const auto& entry : entries) {
        put16(tiff, entry.tag);
        put16(tiff, entry.type);
        put32(tiff, static_cast<std::uint32_t>(entry.type == 3 ? 1 : entry.value.size()));
        if (entry.value.size() <= 4) {
            tiff += entry.value;
            tiff.append(4 - entry.value.size(), '\0');
        } else {
            put32(tiff, static_cast<std::uint32_t>(valuesAt + values.size()));
            values += entry.value;
            if (values.size() % 2 != 0) values += '\0';
        }
    }
    put32(tiff, 0);
    tiff += values;
    std::string segment("\xFF\xE1", 2);
    put16(segment, static_cast<std::uint32_t>(2 + 6 + tiff.size()));
    segment.append("Exif\0\0", 6);
    return segment + tiff;
}

bool keptByStricter(const Segment& segment, std::string_view file) {
    const std::string_view body = file.substr(segment.payload, segment.end - segment.payload);
    switch (segment.marker) {
        case 0xE0: return body.starts_with(std::string_view("JFIF\0", 5));
        case 0xE2: return body.starts_with(std::string_view("ICC_PROFILE\0", 12));
        case 0xEE: return body.starts_with("Adobe");
        case 0xFE: return false;  // comment
        default: return segment.marker < 0xE0 || segment.marker > 0xEF;
    }
}

}  // namespace

bool JpegMetadataEditor::looksLikeJpeg(std::string_view bytes) {
    return bytes.size() >= 2 && byteAt(bytes, 0) == 0xFF && byteAt(bytes, 1) == 0xD8;
}

std::optional<JpegMetadataEditor::Output> JpegMetadataEditor::rewrite(char* jpeg, std::size_t size, Keep keep) {
    const std::string_view file(jpeg, size);
    const auto layout = walk(file, true);
    if (!layout) return std::nullopt;
    Output output;
    if (keep == Keep::allButLocation) {
        Pass pass{true, false};
        scrubSegments(jpeg, layout->header, 0, pass);
        scrubAppended(jpeg, layout->scanEnd, size, pass);
        if (pass.found) {
            const auto left = containsLocation(file);
            if (!left || *left) return std::nullopt;
        }
        output.pieces.push_back(file);
        return output;
    }

    std::string exif;
    if (keep == Keep::orientation) exif = essentialSegment(essentialsOf(jpeg, layout->header));
    // The new EXIF segment takes the first old one's place, or follows SOI and a leading JFIF.
    std::size_t insertAt = 0;
    const auto& header = layout->header;
    const auto firstExif = std::find_if(header.begin(), header.end(), [&](const Segment& s) {
        return s.marker == 0xE1 && file.substr(s.payload, s.end - s.payload).starts_with(kExifSignature);
    });
    if (firstExif != header.end()) {
        insertAt = static_cast<std::size_t>(firstExif - header.begin());
    } else if (!header.empty() && header.front().marker == 0xE0 && keptByStricter(header.front(), file)) {
        insertAt = 1;
    }
    output.owned.push_back(std::move(exif));
    output.pieces.push_back(file.substr(0, 2));
    for (std::size_t i = 0; i <= header.size(); ++i) {
        if (i == insertAt && !output.owned.front().empty()) output.pieces.push_back(output.owned.front());
        if (i < header.size() && keptByStricter(header[i], file)) {
            output.pieces.push_back(file.substr(header[i].start, header[i].end - header[i].start));
        }
    }
    // The compressed image as it was; anything appended after it is not this image and goes.
    output.pieces.push_back(file.substr(layout->scanStart, layout->scanEnd - layout->scanStart));
    return output;
}

std::optional<bool> JpegMetadataEditor::containsLocation(std::string_view jpeg) {
    const auto layout = walk(jpeg, true);
    if (!layout) return std::nullopt;
    // The read-only pass never writes through these pointers.
    char* const file = const_cast<char*>(jpeg.data());
    Pass pass{false, false};
    scrubSegments(file, layout->header, 0, pass);
    if (!pass.found) scrubAppended(file, layout->scanEnd, jpeg.size(), pass);
    return pass.found;
}

}  // namespace morvale
