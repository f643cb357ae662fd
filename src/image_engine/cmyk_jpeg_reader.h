#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace morvale {

// Reads the samples of a CMYK (or YCCK) JPEG as they are stored, with the file's ICC profile, so
// that they can be colour-managed: the general decoder mixes them to RGB as if the inks were
// ideal. Internal to the image engine; safe to call from many threads at once.
class CmykJpegReader {
public:
    struct Samples {
        int width = 0;
        int height = 0;
        std::vector<std::uint8_t> cmyk;     // four bytes a pixel, rows top down, as stored
        std::vector<std::uint8_t> profile;  // the embedded ICC profile, or empty
        bool inverted = false;              // Adobe's convention: 0 is full ink
    };

    // Nothing when the file is a JPEG of another colour space (or no JPEG). Throws
    // std::runtime_error with the decoder's message for a CMYK JPEG that cannot be decoded. The
    // caller has checked the size against its limits.
    static std::optional<Samples> read(const std::filesystem::path& file);
};

}  // namespace morvale
