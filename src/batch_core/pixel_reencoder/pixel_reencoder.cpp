#include "batch_core/pixel_reencoder/pixel_reencoder.h"

#include <OpenImageIO/imageio.h>
#include <OpenImageIO/tiffutils.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"

namespace morvale {

namespace {

// The same bounds as the image layer's decoder, checked before any pixel is allocated.
constexpr long long maxSide = 16384;
constexpr long long maxPixels = 1LL << 28;

bool isGPSAttribute(std::string_view name) {
    const std::string lower = ascii::lowered(name);
    return lower.starts_with("gps:") || lower.find(":gps") != std::string::npos;
}

// The decoder is picked by the file's name, as the image layer does, and reads the checked file
// through its descriptor (some decoders cannot read from memory, and some reopen the file to seek).
std::unique_ptr<OIIO::ImageInput> openPixels(std::string_view name, int fd) {
    // By the bare extension: given a file name, the library would open that path on its own.
    const std::size_t dot = name.rfind('.');
    const std::size_t slash = name.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash) || dot + 1 >= name.size()) {
        return nullptr;
    }
    auto input = OIIO::ImageInput::create(ascii::lowered(name.substr(dot + 1)), false);
    (void)OIIO::geterror();  // a failure leaves its message in this thread's error slot
    if (!input) return nullptr;
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    OIIO::ImageSpec spec;
    if (!input->open("/proc/self/fd/" + std::to_string(fd), spec, config)) {
        (void)input->geterror();
        return nullptr;
    }
    return input;
}

// The writers' metadata encoders trust what they are handed, and some of their failures end the
// process: an empty string (a damaged file's blank artist or description) fails an assertion in
// the IPTC encoder, and a strip height of zero divides by zero in the EXIF encoder. An empty string
// says nothing, and the source's strip layout describes nothing either (the writer picks its own),
// so neither is passed on.
bool encodable(const OIIO::ParamValue& attribute) {
    if (ascii::equalsIgnoringCase(attribute.name().string(), "tiff:RowsPerStrip")) return false;
    return attribute.type().basetype != OIIO::TypeDesc::STRING || !attribute.get_string().empty();
}

// libjpeg ends the process when a marker segment outgrows its 16-bit length, and the JPEG writer
// puts the EXIF, IPTC and XMP blocks and the description in one segment each (the ICC profile is
// split across several). Such metadata is refused before the writer sees it.
bool fitsJpegSegments(const OIIO::ImageSpec& spec) {
    constexpr std::size_t maxPayload = 65533;
    std::vector<char> block;
    OIIO::encode_exif(spec, block);
    if (block.size() + std::string_view("Exif\0\0", 6).size() > maxPayload) return false;
    block.clear();
    OIIO::encode_iptc_iim(spec, block);
    // "Photoshop 3.0\0", the 8BIM resource header and its padding.
    if (block.size() + 32 > maxPayload) return false;
    const std::size_t xmp = std::max(OIIO::encode_xmp(spec, true).size(), OIIO::encode_xmp(spec, false).size());
    if (xmp + std::string_view("http://ns.adobe.com/xap/1.0/\0", 29).size() > maxPayload) return false;
    return spec.get_string_attribute("ImageDescription").size() + 1 <= maxPayload;
}

OIIO::ParamValueList filteredAttributes(const OIIO::ImageSpec& spec, int option) {
    OIIO::ParamValueList kept;
    for (const auto& attribute : spec.extra_attribs) {
        const std::string_view name = attribute.name().string();
        bool keep = false;
        if (option == 0) {
            keep = !isGPSAttribute(name);
        } else {
            // Colour and structure, never description: the colour profile and space, how alpha and
            // samples are stored, the codec's own compression.
            keep = name == "ICCProfile" || name == "oiio:ColorSpace" || name == "oiio:BitsPerSample" ||
                   ascii::equalsIgnoringCase(name, "compression") || (option == 1 && name == "Orientation");
        }
        if (keep && encodable(attribute)) kept.push_back(attribute);
    }
    return kept;
}

int qualityPercent(double quality) {
    if (!std::isfinite(quality)) quality = 1.0;
    return static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100.0));
}

int reencode(int fd, const char* sourceName, int knownType, const char* outputPath, int option, double quality,
             int* isJpeg) {
    auto input = openPixels(sourceName, fd);
    if (!input) return knownType ? morvalePixelCannotOpenSource : morvalePixelUnsupportedType;
    // Only image 0 is written again: rewriting a file of pages, frames or mip levels in place would
    // lose the rest.
    const OIIO::ImageSpec spec = input->spec();
    if (input->seek_subimage(1, 0) || input->seek_subimage(0, 1)) return morvalePixelUnsupportedType;
    if (!input->seek_subimage(0, 0) || spec.width <= 0 || spec.height <= 0 || spec.depth != 1 ||
        spec.nchannels <= 0 || spec.width > maxSide || spec.height > maxSide ||
        static_cast<long long>(spec.width) * spec.height > maxPixels) {
        return morvalePixelCannotOpenSource;
    }
    std::vector<unsigned char> pixels;
    try {
        pixels.resize(spec.image_bytes(true));
    } catch (const std::bad_alloc&) {
        return morvalePixelCannotOpenSource;
    }
    const bool decoded = input->read_image(0, 0, 0, spec.nchannels, OIIO::TypeUnknown, pixels.data());
    (void)input->geterror();
    if (!decoded) return morvalePixelCannotOpenSource;
    const std::string format = input->format_name();
    input.reset();

    auto output = OIIO::ImageOutput::create(format);
    (void)OIIO::geterror();
    if (!output) return morvalePixelCannotCreate;

    OIIO::ImageSpec written = spec;
    written.extra_attribs = filteredAttributes(spec, option);
    written.attribute("oiio:UnassociatedAlpha", 1);
    const int percent = qualityPercent(quality);
    if (format == "jpeg" || format == "webp") {
        written.attribute("Compression", format + ":" + std::to_string(percent));
    } else if (format == "heif") {
        written.attribute("Compression", "heic:" + std::to_string(percent));
    }
    if (format == "jpeg" && !fitsJpegSegments(written)) return morvalePixelFailedToWrite;
    const bool encoded = output->open(outputPath, written) && output->write_image(OIIO::TypeUnknown, pixels.data()) &&
                         output->close();
    (void)output->geterror();
    if (!encoded) return morvalePixelFailedToWrite;
    *isJpeg = format == "jpeg" ? 1 : 0;
    return morvalePixelWritten;
}

}  // namespace

}  // namespace morvale

extern "C" int morvale_pixel_reencode(int fd, const char* sourceName, int knownType, const char* outputPath, int option,
                                      double quality, int* isJpeg) {
    try {
        return morvale::reencode(fd, sourceName, knownType, outputPath, option, quality, isJpeg);
    } catch (...) {
        return morvalePixelFailedToWrite;
    }
}

extern "C" int morvale_pixel_has_location(int fd, const char* sourceName) {
    try {
        auto input = morvale::openPixels(sourceName, fd);
        if (!input) return 0;
        const auto& attributes = input->spec().extra_attribs;
        return std::any_of(attributes.begin(), attributes.end(),
                           [](const auto& attribute) { return morvale::isGPSAttribute(attribute.name().string()); })
                   ? 1
                   : 0;
    } catch (...) {
        return 0;
    }
}
