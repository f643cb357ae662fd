#include "image_engine/image_properties.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <algorithm>

#include "base/exif/exiv2_session.h"

namespace morvale {

namespace {

struct Decoded {
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
    Exiv2::ByteOrder order = Exiv2::littleEndian;
};

Decoded decodeBlocks(const ImageProperties& properties) {
    exiv2_session::ensureInitialized();
    Decoded decoded;
    try {
        if (!properties.exifBlock().empty()) {
            decoded.order = Exiv2::ExifParser::decode(decoded.exif, properties.exifBlock().data(),
                                                      static_cast<std::uint32_t>(properties.exifBlock().size()));
            if (decoded.order == Exiv2::invalidByteOrder) {
                decoded.order = Exiv2::littleEndian;
            }
        }
        if (!properties.iptcBlock().empty()) {
            Exiv2::IptcParser::decode(decoded.iptc, properties.iptcBlock().data(),
                                      static_cast<std::uint32_t>(properties.iptcBlock().size()));
        }
        if (!properties.xmpPacket().empty()) {
            Exiv2::XmpParser::decode(decoded.xmp, properties.xmpPacket());
        }
    } catch (const Exiv2::AnyError&) {
        // Damaged metadata is dropped rather than failing the image.
    }
    return decoded;
}

ImageProperties encodeBlocks(Decoded& decoded) {
    std::vector<std::uint8_t> exif;
    std::vector<std::uint8_t> iptc;
    std::string xmp;
    try {
        if (!decoded.exif.empty()) {
            Exiv2::Blob blob;
            Exiv2::ExifParser::encode(blob, decoded.order, decoded.exif);
            exif.assign(blob.begin(), blob.end());
        }
        if (!decoded.iptc.empty()) {
            const Exiv2::DataBuf buffer = Exiv2::IptcParser::encode(decoded.iptc);
            if (buffer.size_ > 0) {
                iptc.assign(buffer.pData_, buffer.pData_ + buffer.size_);
            }
        }
        if (!decoded.xmp.empty()) {
            Exiv2::XmpParser::encode(xmp, decoded.xmp);
        }
    } catch (const Exiv2::AnyError&) {
        return {};
    }
    return ImageProperties::fromBlocks(std::move(exif), std::move(iptc), std::move(xmp));
}

template <typename Key, typename Data>
void eraseKeys(Data& data, const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        auto found = data.findKey(Key(key));
        if (found != data.end()) {
            data.erase(found);
        }
    }
}

template <typename Data>
void eraseWithPrefix(Data& data, const std::string& prefix) {
    for (auto it = data.begin(); it != data.end();) {
        if (it->key().compare(0, prefix.size(), prefix) == 0) {
            it = data.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

ImageProperties ImageProperties::fromBlocks(std::vector<std::uint8_t> exif, std::vector<std::uint8_t> iptc,
                                            std::string xmp) {
    ImageProperties properties;
    properties.exif_ = std::move(exif);
    properties.iptc_ = std::move(iptc);
    properties.xmp_ = std::move(xmp);
    return properties;
}

std::optional<std::string> ImageProperties::exifValue(const std::string& key) const {
    Decoded decoded = decodeBlocks(*this);
    try {
        auto found = decoded.exif.findKey(Exiv2::ExifKey(key));
        if (found == decoded.exif.end()) {
            return std::nullopt;
        }
        return found->toString();
    } catch (const Exiv2::AnyError&) {
        return std::nullopt;
    }
}

std::optional<int> ImageProperties::orientation() const {
    Decoded decoded = decodeBlocks(*this);
    try {
        auto exif = decoded.exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (exif != decoded.exif.end() && exif->count() > 0) {
            return static_cast<int>(exif->toLong());
        }
        auto xmp = decoded.xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation"));
        if (xmp != decoded.xmp.end() && xmp->count() > 0) {
            return static_cast<int>(xmp->toLong());
        }
    } catch (const Exiv2::AnyError&) {
    }
    return std::nullopt;
}

bool ImageProperties::hasGPS() const {
    Decoded decoded = decodeBlocks(*this);
    const auto isGPS = [](const auto& datum) { return exiv2_session::isGPSKey(datum.key()); };
    return std::any_of(decoded.exif.begin(), decoded.exif.end(), isGPS) ||
           std::any_of(decoded.xmp.begin(), decoded.xmp.end(), isGPS);
}

ImageProperties ImageProperties::upright() const {
    if (empty()) {
        return *this;
    }
    Decoded decoded = decodeBlocks(*this);
    try {
        auto exif = decoded.exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (exif != decoded.exif.end() || !decoded.exif.empty()) {
            decoded.exif["Exif.Image.Orientation"] = static_cast<std::uint16_t>(1);
        }
        eraseKeys<Exiv2::ExifKey>(decoded.exif, {"Exif.Photo.PixelXDimension", "Exif.Photo.PixelYDimension",
                                 "Exif.Image.ImageWidth", "Exif.Image.ImageLength"});
        // The thumbnail shows the pixels the metadata came with, not the ones it is going to.
        eraseWithPrefix(decoded.exif, "Exif.Thumbnail.");
        if (decoded.xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation")) != decoded.xmp.end()) {
            decoded.xmp["Xmp.tiff.Orientation"] = "1";
        }
        eraseKeys<Exiv2::XmpKey>(decoded.xmp, {"Xmp.exif.PixelXDimension", "Xmp.exif.PixelYDimension",
                                "Xmp.tiff.ImageWidth", "Xmp.tiff.ImageLength"});
    } catch (const Exiv2::AnyError&) {
        return {};
    }
    return encodeBlocks(decoded);
}

ImageProperties ImageProperties::withoutGPS() const {
    if (empty()) {
        return *this;
    }
    Decoded decoded = decodeBlocks(*this);
    eraseWithPrefix(decoded.exif, "Exif.GPSInfo.");
    eraseKeys<Exiv2::ExifKey>(decoded.exif, {"Exif.Image.GPSTag"});
    eraseWithPrefix(decoded.xmp, "Xmp.exif.GPS");
    return encodeBlocks(decoded);
}

}  // namespace morvale
