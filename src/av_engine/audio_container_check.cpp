#include "av_engine/audio_container_check.h"

#include "base/cancellation.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

namespace morvale {

namespace {

using Bytes = std::array<unsigned char, 32>;

// Chunks or boxes walked between two stop checks.
constexpr unsigned kStopCheckInterval = 4096;
// Deeper MP4 nesting than any real file has; FFmpeg itself gives up well before.
constexpr int kMaxBoxDepth = 16;
// Ogg streams open at once; FFmpeg gives each a page buffer and a stream record. A recording has one or
// two (and a skeleton); more is a file made to exhaust memory.
constexpr std::size_t kMaxOggStreams = 64;
// An Ogg page is at most 27 + 255 + 255 * 255 bytes; FFmpeg looks for the next one that far and no further.
constexpr std::size_t kMaxOggPage = 27 + 255 + 255 * 255;

std::uint32_t le16(const unsigned char* p) { return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8; }

std::uint32_t le32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
std::uint64_t le64(const unsigned char* p) { return std::uint64_t{le32(p)} | std::uint64_t{le32(p + 4)} << 32; }
std::uint32_t be32(const unsigned char* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
}
std::uint64_t be64(const unsigned char* p) { return std::uint64_t{be32(p)} << 32 | be32(p + 4); }

std::string_view tag(const unsigned char* p) { return {reinterpret_cast<const char*>(p), 4}; }

// Printable form of a four-character code for the reason text.
std::string quoted(const unsigned char* p) {
    std::string text = "'";
    for (int i = 0; i < 4; ++i) text += (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '?';
    return text + "'";
}

// Thrown inside the walk to end it with the reason the file is refused.
struct Refusal {
    std::string problem;
};

[[noreturn]] void refuse(std::string problem) { throw Refusal{std::move(problem)}; }

// `what` names the piece in the user's terms: "a comment", "an ID3 tag", "the 'LIST' chunk".
[[noreturn]] void tooMuchMetadata(const std::string& what) {
    refuse("too much metadata (" + what + " of more than " +
           std::to_string(AudioContainerCheck::maxMetadataBytes >> 20) + " MB)");
}

void boundMetadata(const std::string& what, std::uint64_t size) {
    if (size > AudioContainerCheck::maxMetadataBytes) tooMuchMetadata(what);
}

[[noreturn]] void claimsTooMuch(const unsigned char* id, const char* kind, std::uint64_t claimed, std::uint64_t room) {
    refuse("damaged header (the " + quoted(id) + " " + kind + " claims " + std::to_string(claimed) + " bytes where " +
           std::to_string(room) + " are left)");
}

class Walk {
public:
    Walk(int fd, std::uint64_t size, const std::stop_token& stop) : fd_(fd), size_(size), stop_(stop) {}

    std::uint64_t size() const { return size_; }

    // Reads `n` bytes at `offset`; false when the file ends first.
    bool read(std::uint64_t offset, std::size_t n, unsigned char* into) const {
        if (offset > size_ || n > size_ - offset) return false;
        std::size_t done = 0;
        while (done < n) {
            const ssize_t got = ::pread(fd_, into + done, n - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    void step() {
        if (++steps_ % kStopCheckInterval == 0) throwIfStopRequested(stop_);
    }

private:
    int fd_;
    std::uint64_t size_;
    const std::stop_token& stop_;
    unsigned steps_ = 0;
};

// RIFF/WAVE, RF64 and BW64. FFmpeg walks the chunks after the sample data too, so every chunk is
// checked; only "data" may run past the end.
AudioContainerCheck::Result checkRiff(Walk& walk, bool rf64) {
    AudioContainerCheck::Result result;
    std::uint64_t ds64DataBytes = 0;
    std::uint32_t byteRate = 0;
    std::uint64_t offset = 12;
    Bytes b{};
    while (walk.read(offset, 8, b.data())) {
        walk.step();
        const std::uint32_t size32 = le32(b.data() + 4);
        std::uint64_t size = size32;
        const std::uint64_t room = walk.size() - offset - 8;
        const std::string_view id = tag(b.data());
        if (id == "data") {
            if (rf64 && size32 == 0xFFFFFFFFu) size = ds64DataBytes;
            // 0 and all ones are what writers that could not seek back leave: the samples run to the
            // end, and FFmpeg looks for no chunk after them.
            if (size == 0 || size == 0xFFFFFFFFu) break;
            if (byteRate > 0) result.declaredSeconds = static_cast<double>(size) / byteRate;
            if (size > room) break;  // a cut recording: the samples end with the file
        } else {
            if (size > room) claimsTooMuch(b.data(), "chunk", size, room);
            // Padding is skipped unread; every other chunk may be read into memory.
            if (id != "JUNK" && id != "junk" && id != "PAD " && id != "FLLR") {
                boundMetadata("the " + quoted(b.data()) + " chunk", size);
            }
            if (id == "fmt " && size >= 16) {
                Bytes fmt{};
                if (walk.read(offset + 8, 16, fmt.data())) {
                    const std::uint32_t channels = le16(fmt.data() + 2);
                    const std::uint32_t rate = le32(fmt.data() + 4);
                    if (channels == 0 || channels > static_cast<std::uint32_t>(AudioContainerCheck::maxChannels)) {
                        refuse(AudioContainerCheck::channelsProblem(channels));
                    }
                    if (rate == 0 || rate > AudioContainerCheck::maxSampleRate) {
                        refuse(AudioContainerCheck::sampleRateProblem(rate));
                    }
                    byteRate = le32(fmt.data() + 8);
                }
            } else if (rf64 && id == "ds64") {
                if (size < 28) refuse("damaged header (the 'ds64' chunk is too short)");
                Bytes ds64{};
                if (!walk.read(offset + 8, 28, ds64.data())) refuse("damaged header (the 'ds64' chunk is cut off)");
                ds64DataBytes = le64(ds64.data() + 8);
                // The table of large chunk sizes: 12 bytes an entry, inside the chunk.
                const std::uint64_t entries = le32(ds64.data() + 24);
                if (entries * 12 > size - 28) claimsTooMuch(b.data(), "chunk's table", entries * 12, size - 28);
            }
        }
        offset += 8 + size + (size & 1);
    }
    return result;
}

// AIFF and AIFC: big-endian chunks; only the sound data may run past the end.
void checkAiff(Walk& walk) {
    std::uint64_t offset = 12;
    Bytes b{};
    while (walk.read(offset, 8, b.data())) {
        walk.step();
        const std::uint64_t size = be32(b.data() + 4);
        const std::uint64_t room = walk.size() - offset - 8;
        if (tag(b.data()) == "SSND") {
            if (size > room) return;
        } else {
            if (size > room) claimsTooMuch(b.data(), "chunk", size, room);
            boundMetadata("the " + quoted(b.data()) + " chunk", size);
        }
        Bytes comm{};
        if (tag(b.data()) == "COMM" && size >= 2 && walk.read(offset + 8, 2, comm.data())) {
            const std::uint32_t channels = std::uint32_t{comm[0]} << 8 | comm[1];
            if (channels == 0 || channels > static_cast<std::uint32_t>(AudioContainerCheck::maxChannels)) {
                refuse(AudioContainerCheck::channelsProblem(channels));
            }
        }
        offset += 8 + size + (size & 1);
    }
}

// CAF: 64-bit chunk sizes; the audio data's may be -1 (written while recording) or run past the end.
void checkCaf(Walk& walk) {
    std::uint64_t offset = 8;
    Bytes b{};
    while (walk.read(offset, 12, b.data())) {
        walk.step();
        const std::uint64_t size = be64(b.data() + 4);
        const std::uint64_t room = walk.size() - offset - 12;
        const std::string_view id = tag(b.data());
        if (size > room) {
            if (id == "data") return;
            claimsTooMuch(b.data(), "chunk", size, room);
        }
        // The packet table grows with the audio, like MP4's sample tables; the rest is metadata.
        if (id != "data" && id != "pakt" && id != "free") boundMetadata("the " + quoted(b.data()) + " chunk", size);
        offset += 12 + size;
    }
}

// FLAC metadata blocks (up to 16 MB each, which FFmpeg allocates zeroed) up to the last one.
void checkFlac(Walk& walk, std::uint64_t offset) {
    Bytes b{};
    while (walk.read(offset, 4, b.data())) {
        walk.step();
        const std::uint64_t size = std::uint64_t{b[1]} << 16 | std::uint64_t{b[2]} << 8 | b[3];
        const std::uint64_t room = walk.size() - offset - 4;
        if (size > room) refuse("damaged header (a FLAC metadata block claims " + std::to_string(size) + " bytes where " +
                                std::to_string(room) + " are left)");
        if ((b[0] & 0x80) != 0) return;
        offset += 4 + size;
    }
}

// ID3v2 tags in front of MP3, FLAC or AAC streams; FFmpeg reads one after another.
std::uint64_t skipId3Tags(Walk& walk) {
    std::uint64_t offset = 0;
    Bytes b{};
    while (walk.read(offset, 10, b.data()) && tag(b.data()).substr(0, 3) == "ID3") {
        walk.step();
        std::uint64_t size = 0;
        for (int i = 6; i < 10; ++i) {
            if (b[static_cast<std::size_t>(i)] & 0x80) refuse("damaged ID3 tag (its size is not synchsafe)");
            size = size << 7 | b[static_cast<std::size_t>(i)];
        }
        if ((b[5] & 0x10) != 0) size += 10;  // footer
        const std::uint64_t room = walk.size() - offset - 10;
        if (size > room) {
            refuse("damaged ID3 tag (it claims " + std::to_string(size) + " bytes where " + std::to_string(room) +
                   " are left)");
        }
        boundMetadata("an ID3 tag", size);
        offset += 10 + size;
    }
    return offset;
}

bool isMp4Container(std::string_view type) {
    static constexpr std::array<std::string_view, 13> containers{"moov", "trak", "mdia", "minf", "stbl", "edts", "udta",
                                                                 "dinf", "mvex", "moof", "traf", "mfra", "meta"};
    for (std::string_view c : containers) {
        if (c == type) return true;
    }
    return false;
}

// Bytes per entry of the sample tables whose entry count FFmpeg allocates for, and where the count sits
// after the box header (after version and flags, and for stsz and stz2 the fields before it).
struct SampleTable {
    std::string_view type;
    std::uint64_t countOffset;
    std::uint64_t entryBytes;
};
constexpr std::array<SampleTable, 8> kSampleTables{{{"stco", 4, 4},
                                                    {"co64", 4, 8},
                                                    {"stsc", 4, 12},
                                                    {"stts", 4, 8},
                                                    {"ctts", 4, 8},
                                                    {"stss", 4, 4},
                                                    {"stps", 4, 4},
                                                    {"stsz", 8, 4}}};

void checkSampleTable(Walk& walk, const unsigned char* id, std::uint64_t payload, std::uint64_t payloadSize) {
    const std::string_view type = tag(id);
    Bytes b{};
    if (type == "stz2") {
        if (payloadSize < 12 || !walk.read(payload, 12, b.data())) refuse("damaged header (the 'stz2' box is too short)");
        const std::uint64_t bits = std::uint64_t{b[7]} * be32(b.data() + 8);  // field size in bits, count
        if ((bits + 7) / 8 > payloadSize - 12) claimsTooMuch(id, "box's table", (bits + 7) / 8, payloadSize - 12);
        return;
    }
    for (const SampleTable& table : kSampleTables) {
        if (table.type != type) continue;
        if (payloadSize < table.countOffset + 4 || !walk.read(payload, table.countOffset + 4, b.data())) {
            refuse("damaged header (the " + quoted(id) + " box is too short)");
        }
        // A constant sample size leaves the size table out.
        if (type == "stsz" && be32(b.data() + 4) != 0) return;
        const std::uint64_t bytes = be32(b.data() + table.countOffset) * table.entryBytes;
        const std::uint64_t room = payloadSize - table.countOffset - 4;
        if (bytes > room) claimsTooMuch(id, "box's table", bytes, room);
        return;
    }
}

// Every box inside its parent, with one exception: the media data at the top level may run past the end
// of a cut file.
void checkBoxes(Walk& walk, std::uint64_t begin, std::uint64_t end, int depth) {
    std::uint64_t offset = begin;
    Bytes b{};
    while (end - offset >= 8 && walk.read(offset, 8, b.data())) {
        walk.step();
        std::uint64_t size = be32(b.data());
        std::uint64_t header = 8;
        if (size == 1) {
            if (end - offset < 16 || !walk.read(offset + 8, 8, b.data() + 8)) refuse("damaged header (a box is cut off)");
            size = be64(b.data() + 8);
            header = 16;
        } else if (size == 0) {
            size = end - offset;  // runs to the end of its parent
        }
        const unsigned char* id = b.data() + 4;
        if (size < header) refuse("damaged header (the " + quoted(id) + " box is shorter than its header)");
        if (size > end - offset) {
            if (depth == 0 && tag(id) == "mdat") return;
            claimsTooMuch(id, "box", size, end - offset);
        }
        const std::uint64_t payload = offset + header;
        const std::uint64_t payloadSize = size - header;
        std::array<unsigned char, 4> type{};
        std::memcpy(type.data(), id, 4);
        // The user data and item lists hold the tags and cover pictures.
        if (tag(id) == "udta" || tag(id) == "meta" || tag(id) == "ilst") {
            boundMetadata("the " + quoted(id) + " box", size);
        }
        if (isMp4Container(tag(type.data())) && depth + 1 < kMaxBoxDepth) {
            std::uint64_t first = payload;
            // An MP4 'meta' is a full box (version and flags first); a QuickTime one is not.
            Bytes flags{};
            if (tag(type.data()) == "meta" && payloadSize >= 4 && walk.read(payload, 4, flags.data()) &&
                be32(flags.data()) == 0) {
                first += 4;
            }
            checkBoxes(walk, first, payload + payloadSize, depth + 1);
        } else {
            checkSampleTable(walk, type.data(), payload, payloadSize);
        }
        offset += size;
    }
}

// Ogg pages, each at most 64 kB, carry packets that may run over many pages; FFmpeg gathers a whole
// packet in memory and keeps copies of the comment packet (the second of a stream) as it parses it.
// Audio packets are a few kilobytes, so any packet over the metadata bound is refused. Between pages
// FFmpeg looks for the next one within a page's length, as this walk does.
void checkOgg(Walk& walk, std::uint64_t offset) {
    struct Stream {
        std::uint64_t packetBytes = 0;  // of the packet being gathered
        unsigned packets = 0;           // complete packets so far
    };
    std::map<std::uint32_t, Stream> streams;
    std::array<unsigned char, 27 + 255> page{};
    std::vector<unsigned char> window;
    while (walk.read(offset, 27, page.data())) {
        walk.step();
        if (tag(page.data()) != "OggS") {
            window.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kMaxOggPage, walk.size() - offset)));
            if (!walk.read(offset, window.size(), window.data())) return;
            const std::string_view text(reinterpret_cast<const char*>(window.data()), window.size());
            const std::size_t next = text.find("OggS", 1);
            if (next == std::string_view::npos) return;  // FFmpeg ends the stream here too
            offset += next;
            continue;
        }
        const unsigned char flags = page[5];
        const std::uint32_t serial = le32(page.data() + 14);
        const unsigned segments = page[26];
        if (!walk.read(offset + 27, segments, page.data() + 27)) return;  // cut off: ends with the file
        Stream& stream = streams[serial];
        if (streams.size() > kMaxOggStreams) {
            refuse("damaged header (more than " + std::to_string(kMaxOggStreams) + " Ogg streams at once)");
        }
        std::uint64_t body = 0;
        for (unsigned i = 0; i < segments; ++i) {
            const unsigned lacing = page[27 + i];
            body += lacing;
            stream.packetBytes += lacing;
            if (stream.packetBytes > AudioContainerCheck::maxMetadataBytes) {
                if (stream.packets == 1) tooMuchMetadata("a comment");
                refuse("damaged audio (an Ogg packet of more than " +
                       std::to_string(AudioContainerCheck::maxMetadataBytes >> 20) + " MB)");
            }
            // A lacing value under 255 ends the packet; 255 continues it, on the next page if need be.
            if (lacing < 255) {
                stream.packetBytes = 0;
                ++stream.packets;
            }
        }
        if ((flags & 0x04) != 0) streams.erase(serial);  // end of stream: a chained one may follow
        offset += 27 + segments + body;
    }
}

bool looksLikeMp4(const unsigned char* head) {
    static constexpr std::array<std::string_view, 7> firstBoxes{"ftyp", "moov", "mdat", "free", "skip", "wide", "pnot"};
    for (std::string_view box : firstBoxes) {
        if (tag(head + 4) == box) return true;
    }
    return false;
}

}  // namespace

std::string AudioContainerCheck::channelsProblem(std::uint64_t channels) {
    if (channels == 0) return "0 channels";
    return std::to_string(channels) + " channels (at most " + std::to_string(maxChannels) + " are supported)";
}

std::string AudioContainerCheck::sampleRateProblem(std::uint64_t hertz) {
    std::string text = "a sample rate of " + std::to_string(hertz) + " Hz";
    if (static_cast<double>(hertz) > maxSampleRate) {
        text += " (at most " + std::to_string(static_cast<std::uint64_t>(maxSampleRate)) + " Hz are supported)";
    }
    return text;
}

AudioContainerCheck::Result AudioContainerCheck::inspect(int fd, std::uint64_t fileSize, const std::stop_token& stop) {
    Walk walk(fd, fileSize, stop);
    Bytes head{};
    if (!walk.read(0, 12, head.data())) return {};
    try {
        const std::string_view magic = tag(head.data());
        const std::string_view form = tag(head.data() + 8);
        if ((magic == "RIFF" || magic == "RF64" || magic == "BW64") && form == "WAVE") {
            return checkRiff(walk, magic != "RIFF");
        }
        if (magic == "FORM" && (form == "AIFF" || form == "AIFC")) {
            checkAiff(walk);
            return {};
        }
        if (looksLikeMp4(head.data())) {
            checkBoxes(walk, 0, fileSize, 0);
            return {};
        }
        if (magic == "caff") {
            checkCaf(walk);
            return {};
        }
        const std::uint64_t afterTags = skipId3Tags(walk);
        if (walk.read(afterTags, 4, head.data())) {
            if (tag(head.data()) == "fLaC") checkFlac(walk, afterTags + 4);
            if (tag(head.data()) == "OggS") checkOgg(walk, afterTags);
        }
        return {};
    } catch (const Refusal& refusal) {
        return Result{refusal.problem, std::nullopt};
    }
}

}  // namespace morvale
