#include "image_engine/core_image_pipeline.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "base/atomic_file_writer.h"
#include "base/ascii.h"
#include "base/cancellation.h"
#include "base/exif/exiv2_session.h"
#include "image_engine/image_loader.h"
#include "image_engine/image_output_file.h"
#include "image_engine/image_size_rules.h"
#include "image_engine/lanczos_resampler.h"
#include "image_engine/png_writer.h"
#include "image_engine/srgb_converter.h"

namespace morvale {

namespace fs = std::filesystem;

namespace {

enum class Format { png, heif, tiff, jpeg };

std::optional<Format> formatFor(const fs::path& destination) {
    std::string extension = ascii::lowered(destination.extension().string());
    if (!extension.empty()) {
        extension.erase(0, 1);
    }
    if (extension == "png") return Format::png;
    if (extension == "heic" || extension == "heif") return Format::heif;
    if (extension == "tif" || extension == "tiff") return Format::tiff;
    if (extension == "jpg" || extension == "jpeg") return Format::jpeg;
    return std::nullopt;
}

int qualityPercent(double quality) {
    if (!std::isfinite(quality)) {
        throw std::invalid_argument("Image quality must be a number from 0 to 1.");
    }
    return std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100);
}

ImageProperties readProperties(const fs::path& file) {
    exiv2_session::ensureInitialized();
    try {
        auto image = Exiv2::ImageFactory::open(file.string());
        if (image.get() == nullptr) {
            return {};
        }
        image->readMetadata();
        std::vector<std::uint8_t> exif;
        if (!image->exifData().empty()) {
            Exiv2::Blob blob;
            Exiv2::ExifParser::encode(blob, image->byteOrder() == Exiv2::invalidByteOrder ? Exiv2::littleEndian
                                                                                          : image->byteOrder(),
                                      image->exifData());
            exif.assign(blob.begin(), blob.end());
        }
        std::vector<std::uint8_t> iptc;
        if (!image->iptcData().empty()) {
            const Exiv2::DataBuf buffer = Exiv2::IptcParser::encode(image->iptcData());
            if (buffer.size_ > 0) {
                iptc.assign(buffer.pData_, buffer.pData_ + buffer.size_);
            }
        }
        std::string xmp = image->xmpPacket();
        if (xmp.empty() && !image->xmpData().empty()) {
            Exiv2::XmpParser::encode(xmp, image->xmpData());
        }
        return ImageProperties::fromBlocks(std::move(exif), std::move(iptc), std::move(xmp));
    } catch (const Exiv2::AnyError&) {
        return {};
    } catch (const std::exception&) {
        return {};
    }
}

// Puts the metadata into an exiv2 image (a file or a memory buffer) and writes it back.
void embed(Exiv2::Image& image, const ImageProperties& properties) {
    image.readMetadata();
    Exiv2::ExifData exif;
    if (!properties.exifBlock().empty()) {
        Exiv2::ExifParser::decode(exif, properties.exifBlock().data(),
                                  static_cast<std::uint32_t>(properties.exifBlock().size()));
    }
    Exiv2::IptcData iptc;
    if (!properties.iptcBlock().empty()) {
        Exiv2::IptcParser::decode(iptc, properties.iptcBlock().data(),
                                  static_cast<std::uint32_t>(properties.iptcBlock().size()));
    }
    // The pixels are sRGB now, whatever space the camera recorded.
    if (const auto space = exif.findKey(Exiv2::ExifKey("Exif.Photo.ColorSpace")); space != exif.end()) {
        *space = static_cast<std::uint16_t>(1);
    }
    if (const auto index = exif.findKey(Exiv2::ExifKey("Exif.Iop.InteroperabilityIndex")); index != exif.end()) {
        exif.erase(index);
    }
    image.setExifData(exif);
    image.setIptcData(iptc);
    if (!properties.xmpPacket().empty()) {
        image.setXmpPacket(properties.xmpPacket());
    }
    image.writeMetadata();
}

OIIO::ImageSpec specFor(const PipelineImage& image, Format format, int quality) {
    const int channels = format == Format::jpeg ? 3 : 4;
    OIIO::ImageSpec spec(image.width(), image.height(), channels, OIIO::TypeDesc::UINT8);
    spec.attribute("oiio:UnassociatedAlpha", 1);
    spec.attribute("oiio:ColorSpace", "sRGB");
    if (format != Format::png) {
        const std::vector<std::uint8_t>& icc = SrgbConverter::sRGBProfile();
        if (!icc.empty()) {
            spec.attribute("ICCProfile", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, static_cast<int>(icc.size())), icc.data());
        }
    }
    if (format == Format::jpeg) {
        spec.attribute("Compression", "jpeg:" + std::to_string(quality));
    } else if (format == Format::heif) {
        spec.attribute("Compression", "heic:" + std::to_string(quality));
    }
    return spec;
}

std::vector<std::uint8_t> pixelsFor(const PipelineImage& image, Format format) {
    if (format == Format::heif) {
        // The HEIF encoder copies each row with its own (aligned) stride and so reads past the end
        // of a tightly packed last row: give it slack.
        std::vector<std::uint8_t> padded(image.pixels.rgba.size() + static_cast<std::size_t>(image.width()) * 4 + 256);
        std::copy(image.pixels.rgba.begin(), image.pixels.rgba.end(), padded.begin());
        return padded;
    }
    if (format != Format::jpeg) {
        return image.pixels.rgba;
    }
    // JPEG carries no alpha: the colour is written as stored.
    const std::size_t count = image.pixels.rgba.size() / 4;
    std::vector<std::uint8_t> rgb(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        std::copy_n(image.pixels.rgba.data() + i * 4, 3, rgb.data() + i * 3);
    }
    return rgb;
}

const char* formatName(Format format) {
    switch (format) {
        case Format::png: return "png";
        case Format::heif: return "heif";
        case Format::tiff: return "tiff";
        case Format::jpeg: return "jpeg";
    }
    return "jpeg";
}

}  // namespace

CoreImagePipeline::CoreImagePipeline() { exiv2_session::ensureInitialized(); }

const CoreImagePipeline& CoreImagePipeline::shared() {
    static const CoreImagePipeline instance;
    return instance;
}

std::optional<PipelineImage> CoreImagePipeline::loadImage(const fs::path& file, std::stop_token stop) const {
    try {
        return load(file, std::move(stop));
    } catch (const ImageLoadError&) {
        return std::nullopt;
    }
}

PipelineImage CoreImagePipeline::load(const fs::path& file, std::stop_token stop) const {
    PipelineImage image;
    image.pixels = ImageLoader::load(file, true, std::move(stop)).pixels;
    image.properties = readProperties(file);
    return image;
}

PipelineImage CoreImagePipeline::loadPhoto(const fs::path& file, std::stop_token stop) const {
    PipelineImage image;
    image.pixels = ImageLoader::loadPhoto(file, std::move(stop));
    image.properties = readProperties(file);
    return image;
}

PipelineImage CoreImagePipeline::scaledToFit(const PipelineImage& image, double maxDimension) const {
    if (!std::isfinite(maxDimension) || maxDimension < 1.0) {
        throw std::invalid_argument("The longest side to fit must be a number of at least 1 pixel.");
    }
    if (!image.pixels.isValid()) {
        throw std::invalid_argument("Cannot scale an image without pixels.");
    }
    const int longest = std::max(image.width(), image.height());
    if (longest <= maxDimension) {
        return image;
    }
    PixelSize target;
    if (maxDimension == std::floor(maxDimension)) {
        target = image_size_rules::fitWithin({image.width(), image.height()}, static_cast<int>(maxDimension));
    } else {
        const double scale = maxDimension / longest;
        target.width = std::max(1, image_size_rules::roundHalfAwayFromZero(image.width() * scale));
        target.height = std::max(1, image_size_rules::roundHalfAwayFromZero(image.height() * scale));
    }
    PipelineImage out;
    out.pixels = LanczosResampler::resample(image.pixels, target.width, target.height);
    out.properties = image.properties;
    return out;
}

ImageProperties CoreImagePipeline::uprightProperties(const ImageProperties& properties) {
    return properties.upright();
}

std::optional<std::vector<std::uint8_t>> CoreImagePipeline::jpegData(
    const PipelineImage& image, double quality, const std::optional<ImageProperties>& properties) const {
    if (!image.pixels.isValid() || !std::isfinite(quality)) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes;
    {
        OIIO::Filesystem::IOVecOutput proxy(bytes);
        auto writer = OIIO::ImageOutput::create("jpg");
        if (!writer || !writer->supports("ioproxy") || !writer->set_ioproxy(&proxy)) {
            return std::nullopt;
        }
        const OIIO::ImageSpec spec = specFor(image, Format::jpeg, qualityPercent(quality));
        // The encoder reads the colour straight out of the RGBA raster (four bytes a pixel), a few
        // rows at a time, rather than from an RGB copy of the whole photo.
        if (!writer->open("memory.jpg", spec) ||
            !writer->write_image(OIIO::TypeDesc::UINT8, image.pixels.rgba.data(), 4) || !writer->close()) {
            return std::nullopt;
        }
    }
    const ImageProperties metadata = (properties ? *properties : image.properties).upright();
    if (metadata.empty()) {
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }
    try {
        auto memory = Exiv2::ImageFactory::open(bytes.data(), static_cast<long>(bytes.size()));
        embed(*memory, metadata);
        Exiv2::BasicIo& io = memory->io();
        io.open();
        std::vector<std::uint8_t> out(io.size());
        io.seek(0, Exiv2::BasicIo::beg);
        if (io.read(out.data(), static_cast<long>(out.size())) != static_cast<long>(out.size())) {
            return std::nullopt;
        }
        io.close();
        return out;
    } catch (const Exiv2::AnyError&) {
        return std::nullopt;
    }
}

void CoreImagePipeline::write(const PipelineImage& image, const fs::path& destination, double quality,
                              const std::optional<ImageProperties>& properties, std::stop_token stop) const {
    const auto format = formatFor(destination);
    if (!format) {
        throw std::invalid_argument("Cannot write images with the extension of " + destination.filename().string() +
                                    " (png, jpg, jpeg, tif, tiff, heic, heif are supported).");
    }
    if (!image.pixels.isValid()) {
        throw std::invalid_argument("Cannot write an image without pixels to " + destination.string() + ".");
    }
    const int percent = qualityPercent(quality);
    throwIfStopRequested(stop);
    AtomicFileWriter output(destination);
    if (*format == Format::png) {
        PngWriter::Options options;
        options.sRGB = true;
        options.stop = stop;
        std::vector<std::uint8_t> png;
        try {
            png = PngWriter::encode(image.pixels.rgba.data(), image.width(), image.height(), PngWriter::Layout::rgba,
                                    options);
        } catch (const PngWriteError& error) {
            throw std::runtime_error("Cannot write image " + destination.string() + ": " + error.what());
        }
        output.write(std::string_view(reinterpret_cast<const char*>(png.data()), png.size()));
    } else {
        const OIIO::ImageSpec spec = specFor(image, *format, percent);
        const std::vector<std::uint8_t> pixels = pixelsFor(image, *format);
        ImageOutputFile::encode(output, formatName(*format), spec, pixels.data());
    }
    const ImageProperties metadata = (properties ? *properties : image.properties).upright();
    if (!metadata.empty() && *format != Format::heif) {
        try {
            auto file = Exiv2::ImageFactory::open(output.temporaryPath().string());
            embed(*file, metadata);
        } catch (const Exiv2::AnyError& error) {
            throw std::runtime_error("Cannot write the metadata of " + destination.string() + ": " + error.what());
        }
    }
    throwIfStopRequested(stop);
    output.commit();
}

}  // namespace morvale
