#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvale {

// The metadata an image carries from its file to the files written from it: EXIF, IPTC and XMP,
// kept in their encoded forms so that nothing is lost on the way. Empty for images made in memory.
class ImageProperties {
public:
    ImageProperties() = default;

    bool empty() const { return exif_.empty() && iptc_.empty() && xmp_.empty(); }

    // The recorded orientation (1 to 8), looked up in EXIF, then XMP; nothing when none is recorded.
    std::optional<int> orientation() const;
    // The text of one EXIF entry by its full key, e.g. "Exif.Image.Orientation"; nothing if absent.
    std::optional<std::string> exifValue(const std::string& key) const;
    // True when an EXIF entry under "Exif.GPSInfo." or an XMP "exif:GPS..." entry is present.
    bool hasGPS() const;

    // A copy marked upright: orientation 1 wherever it is recorded (EXIF and XMP), and the pixel
    // size entries and the EXIF thumbnail (IFD1) removed, so that neither describes pixels that
    // were scaled, cropped or redrawn. Used whenever metadata goes with new pixels.
    ImageProperties upright() const;
    // A copy without any GPS entry.
    ImageProperties withoutGPS() const;

    // Encoded blocks, for the image layer.
    const std::vector<std::uint8_t>& exifBlock() const { return exif_; }
    const std::vector<std::uint8_t>& iptcBlock() const { return iptc_; }
    const std::string& xmpPacket() const { return xmp_; }
    static ImageProperties fromBlocks(std::vector<std::uint8_t> exif, std::vector<std::uint8_t> iptc,
                                      std::string xmp);

    bool operator==(const ImageProperties&) const = default;

private:
    std::vector<std::uint8_t> exif_;  // TIFF-structured EXIF (little or big endian)
    std::vector<std::uint8_t> iptc_;  // IPTC IIM records
    std::string xmp_;                 // XMP packet
};

}  // namespace morvale
