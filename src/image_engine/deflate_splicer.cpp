#include "image_engine/deflate_splicer.h"

#include <array>
#include <cstring>
#include <vector>

namespace morvale {

namespace {

// Reads a deflate stream least significant bit first, as the format packs it. Reading past the
// end gives zero bits; overrun() then tells.
class BitReader {
public:
    BitReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint32_t peek(unsigned count) const {
        const std::size_t byte = position_ >> 3;
        std::uint64_t window = 0;
        if (byte + 8 <= size_) {
            std::memcpy(&window, data_ + byte, 8);  // little-endian hosts only, as the build is
        } else {
            for (std::size_t i = 0; byte + i < size_ && i < 8; ++i) window |= std::uint64_t{data_[byte + i]} << (8 * i);
        }
        return static_cast<std::uint32_t>((window >> (position_ & 7)) & ((std::uint64_t{1} << count) - 1));
    }
    void skip(std::size_t count) { position_ += count; }
    std::uint32_t take(unsigned count) {
        const std::uint32_t value = peek(count);
        position_ += count;
        return value;
    }
    void alignToByte() { position_ = (position_ + 7) & ~std::size_t{7}; }
    std::size_t position() const { return position_; }
    bool overrun() const { return position_ > size_ * 8; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// A canonical Huffman code as one lookup table indexed by the next maxLength bits of the stream;
// each entry is symbol << 4 | code length, 0 for bits that start no code.
class HuffmanTable {
public:
    bool build(const std::uint8_t* lengths, unsigned count) {
        std::array<unsigned, 16> perLength{};
        for (unsigned i = 0; i < count; ++i) ++perLength[lengths[i]];
        perLength[0] = 0;
        maxLength_ = 0;
        for (unsigned length = 1; length < 16; ++length) {
            if (perLength[length] != 0) maxLength_ = length;
        }
        if (maxLength_ == 0) {  // a distance code without codes, for blocks of literals only
            maxLength_ = 1;
            entries_.assign(2, 0);
            return true;
        }
        std::array<unsigned, 16> next{};
        unsigned code = 0;
        for (unsigned length = 1; length < 16; ++length) {
            code = (code + perLength[length - 1]) << 1;
            next[length] = code;
        }
        entries_.assign(std::size_t{1} << maxLength_, 0);
        for (unsigned symbol = 0; symbol < count; ++symbol) {
            const unsigned length = lengths[symbol];
            if (length == 0) continue;
            const unsigned assigned = next[length]++;
            if (assigned >= (1u << length)) return false;  // more codes than the lengths allow
            unsigned reversed = 0;
            for (unsigned bit = 0; bit < length; ++bit) reversed |= ((assigned >> bit) & 1u) << (length - 1 - bit);
            const auto entry = static_cast<std::uint16_t>(symbol << 4 | length);
            for (std::size_t index = reversed; index < entries_.size(); index += std::size_t{1} << length) {
                entries_[index] = entry;
            }
        }
        return true;
    }

    // The next symbol, or -1 when the bits start no code.
    int decode(BitReader& bits) const {
        const std::uint16_t entry = entries_[bits.peek(maxLength_)];
        if ((entry & 15) == 0) return -1;
        bits.skip(entry & 15);
        return entry >> 4;
    }

private:
    std::vector<std::uint16_t> entries_;
    unsigned maxLength_ = 0;
};

constexpr std::array<std::uint8_t, 29> lengthExtraBits{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint8_t, 30> distanceExtraBits{0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,
                                                          6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Skips the coded symbols of one block up to and including its end-of-block code.
bool skipSymbols(BitReader& bits, const HuffmanTable& literals, const HuffmanTable& distances) {
    for (;;) {
        const int symbol = literals.decode(bits);
        if (symbol < 0 || bits.overrun()) return false;
        if (symbol < 256) continue;
        if (symbol == 256) return true;
        const auto lengthCode = static_cast<std::size_t>(symbol - 257);
        if (lengthCode >= lengthExtraBits.size()) return false;
        bits.skip(lengthExtraBits[lengthCode]);
        const int distance = distances.decode(bits);
        if (distance < 0 || static_cast<std::size_t>(distance) >= distanceExtraBits.size()) return false;
        bits.skip(distanceExtraBits[static_cast<std::size_t>(distance)]);
    }
}

bool readDynamicTables(BitReader& bits, HuffmanTable& literals, HuffmanTable& distances) {
    static constexpr std::array<std::uint8_t, 19> order{16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    const unsigned literalCount = bits.take(5) + 257;
    const unsigned distanceCount = bits.take(5) + 1;
    const unsigned lengthCodeCount = bits.take(4) + 4;
    std::array<std::uint8_t, 19> lengthCodeLengths{};
    for (unsigned i = 0; i < lengthCodeCount; ++i) lengthCodeLengths[order[i]] = static_cast<std::uint8_t>(bits.take(3));
    HuffmanTable lengthCode;
    if (!lengthCode.build(lengthCodeLengths.data(), 19)) return false;

    std::array<std::uint8_t, 288 + 32> lengths{};
    const unsigned total = literalCount + distanceCount;
    for (unsigned i = 0; i < total;) {
        const int symbol = lengthCode.decode(bits);
        if (symbol < 0 || bits.overrun()) return false;
        if (symbol < 16) {
            lengths[i++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t value = 0;
        unsigned repeat = 0;
        if (symbol == 16) {
            if (i == 0) return false;
            value = lengths[i - 1];
            repeat = 3 + bits.take(2);
        } else {
            repeat = symbol == 17 ? 3 + bits.take(3) : 11 + bits.take(7);
        }
        if (i + repeat > total) return false;
        while (repeat-- > 0) lengths[i++] = value;
    }
    if (lengths[256] == 0) return false;  // no end-of-block code
    return literals.build(lengths.data(), literalCount) && distances.build(lengths.data() + literalCount, distanceCount);
}

}  // namespace

std::size_t DeflateSplicer::makeContinuable(std::uint8_t* stream, std::size_t size) {
    static const auto fixed = [] {
        std::array<std::uint8_t, 288 + 32> lengths{};
        for (std::size_t i = 0; i < 288; ++i) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        for (std::size_t i = 288; i < lengths.size(); ++i) lengths[i] = 5;
        std::array<HuffmanTable, 2> tables;
        tables[0].build(lengths.data(), 288);
        tables[1].build(lengths.data() + 288, 32);
        return tables;
    }();

    BitReader bits(stream, size);
    HuffmanTable literals;
    HuffmanTable distances;
    std::size_t finalHeader = 0;
    for (;;) {
        const std::size_t header = bits.position();
        const bool final = bits.take(1) != 0;
        const std::uint32_t type = bits.take(2);
        if (type == 0) {
            bits.alignToByte();
            const std::uint32_t length = bits.take(16);
            if ((length ^ bits.take(16)) != 0xffff) return 0;
            bits.skip(std::size_t{length} * 8);
        } else if (type == 1) {
            if (!skipSymbols(bits, fixed[0], fixed[1])) return 0;
        } else if (type == 2) {
            if (!readDynamicTables(bits, literals, distances) || !skipSymbols(bits, literals, distances)) return 0;
        } else {
            return 0;
        }
        if (bits.overrun()) return 0;
        if (final) {
            finalHeader = header;
            break;
        }
    }

    const std::size_t end = bits.position();
    stream[finalHeader >> 3] &= static_cast<std::uint8_t>(~(1u << (finalHeader & 7)));
    std::size_t length = (end + 7) >> 3;
    const unsigned used = static_cast<unsigned>(end & 7);
    if (used != 0) stream[length - 1] &= static_cast<std::uint8_t>((1u << used) - 1);
    // An empty stored block: three zero header bits, zero padding to the byte, then LEN 0 and
    // NLEN 0xffff. The header fits after the last block when at least three bits are free.
    if (used == 0 || used > 5) stream[length++] = 0;
    for (const std::uint8_t byte : {std::uint8_t{0}, std::uint8_t{0}, std::uint8_t{0xff}, std::uint8_t{0xff}}) {
        stream[length++] = byte;
    }
    return length;
}

}  // namespace morvale
