// The fast PNG reader on arbitrary bytes: it decodes, declines (nothing) or throws PngReadError.
// Mutated chunks would almost never carry a matching CRC, so most inputs get their CRCs made
// right first; inputs whose length is a multiple of 7 keep them as mutated.
#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "image_engine/png_reader.h"

namespace {

void fixCRCs(std::vector<std::uint8_t>& bytes) {
    const auto be32 = [&](std::size_t at) {
        return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
               (std::uint32_t{bytes[at + 2]} << 8) | std::uint32_t{bytes[at + 3]};
    };
    std::size_t at = 8;
    while (at + 12 <= bytes.size()) {
        const std::uint32_t length = be32(at);
        if (length > bytes.size() - at - 12) return;
        const std::uint32_t crc = libdeflate_crc32(0, bytes.data() + at + 4, std::size_t{length} + 4);
        std::uint8_t* out = bytes.data() + at + 8 + length;
        for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
        at += std::size_t{length} + 12;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    if (size % 7 != 0) fixCRCs(bytes);
    morvale::PngReader::Options options;
    options.leaveFilesWithExif = (size & 1) != 0;
    try {
        const auto decoded = morvale::PngReader::decode(bytes, options);
        if (decoded && decoded->pixels.rgba.size() != static_cast<std::size_t>(decoded->pixels.width) *
                                                          static_cast<std::size_t>(decoded->pixels.height) * 4) {
            __builtin_trap();
        }
    } catch (const morvale::PngReadError&) {
    }
    return 0;
}
