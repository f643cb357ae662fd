#include "image_engine/image_loader.h"

#include "image_engine/image_header_guard.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>

#include "base/cancellation.h"
#include "image_engine/jpeg_photo_reader.h"
#include "image_engine/png_reader.h"
#include "image_engine/srgb_converter.h"

namespace morvale {

namespace {

namespace fs = std::filesystem;

std::string oiioError(const OIIO::ImageInput* input) {
    std::string message = input != nullptr ? input->geterror() : std::string();
    if (message.empty()) {
        message = OIIO::geterror();
    }
    if (message.empty()) {
        message = "the decoder reported no reason";
    }
    // Decoder messages can run over several lines; the first says what went wrong.
    if (const auto newline = message.find('\n'); newline != std::string::npos) {
        message.resize(newline);
    }
    return message;
}

// The file's own faults, in the words a user understands, before any decoder looks at it.
void requireImageFile(const fs::path& file) {
    std::error_code error;
    const auto status = fs::status(file, error);
    // A missing file reports its error too; any other (a loop of links, a folder we may not enter)
    // is told in the system's own words, as the other readers tell it.
    if (status.type() == fs::file_type::not_found) {
        throw ImageLoadError(file, "the file does not exist");
    }
    if (error) {
        throw ImageLoadError(file, error.message());
    }
    if (!fs::is_regular_file(status)) {
        throw ImageLoadError(file, "not a regular file");
    }
    if (fs::file_size(file, error) == 0 || error) {
        throw ImageLoadError(file, "the file is empty");
    }
}

// Opening a file decodes its embedded ICC profile, and the image library's decoder fills a table
// shared by the whole process without a lock: two photos opened at once by two items could tear it
// and crash. Opening reads only the header, so taking turns costs next to nothing.
std::mutex& headerDecodeMutex() {
    static std::mutex mutex;
    return mutex;
}

// `format` is the header guard's answer for the file.
std::unique_ptr<OIIO::ImageInput> openInput(const fs::path& file, const std::string& format) {
    OIIO::ImageSpec config;
    // Keep colour under transparent pixels exactly as stored.
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto input = OIIO::ImageInput::create(format);
    OIIO::ImageSpec opened;
    const std::lock_guard turn(headerDecodeMutex());
    if (!input || !input->open(file.string(), opened, config)) {
        throw ImageLoadError(file, "not a readable image (" + oiioError(input.get()) + ")");
    }
    return input;
}

std::unique_ptr<OIIO::ImageInput> openInput(const fs::path& file, std::stop_token stop = {}) {
    requireImageFile(file);
    const std::string format = ImageHeaderGuard::check(file, stop);
    throwIfStopRequested(stop);
    return openInput(file, format);
}

void checkSpec(const fs::path& file, const OIIO::ImageSpec& spec) {
    if (spec.width < 1 || spec.height < 1 || spec.depth > 1) {
        throw ImageLoadError(file, "the image has no pixels");
    }
    if (spec.width > ImageLoader::maxSide || spec.height > ImageLoader::maxSide ||
        std::int64_t{spec.width} * spec.height > ImageLoader::maxPixels) {
        throw ImageLoadError::tooLarge(file,
                                       "the image is too large (" + std::to_string(spec.width) + "x" +
                                           std::to_string(spec.height) +
                                           "; at most 16384 pixels per side and 268435456 in all)",
                                       {spec.width, spec.height});
    }
    if (spec.nchannels < 1 || spec.nchannels > 64) {
        throw ImageLoadError(file, "unsupported channel count " + std::to_string(spec.nchannels));
    }
    if (spec.deep) {
        throw ImageLoadError(file, "deep images are not supported");
    }
}

}  // namespace

ImageLoadError::ImageLoadError(const fs::path& file, const std::string& reason, std::error_code systemError)
    : std::runtime_error("Cannot load image " + file.string() + ": " + reason + "."),
      path_(file),
      reason_(reason),
      systemError_(systemError) {}

ImageLoadError ImageLoadError::tooLarge(const fs::path& file, const std::string& reason, StoredSize size) {
    ImageLoadError error(file, reason);
    error.refusedSize_ = size;
    return error;
}

PixelSize ImageLoader::readSize(const fs::path& file) {
    auto input = openInput(file);
    const OIIO::ImageSpec spec = input->spec();
    input->close();
    checkSpec(file, spec);
    return {spec.width, spec.height};
}

PixelSize ImageLoader::readUprightSize(const fs::path& file) {
    auto input = openInput(file);
    const OIIO::ImageSpec spec = input->spec();
    input->close();
    checkSpec(file, spec);
    const int orientation = spec.get_int_attribute("Orientation", 1);
    if (orientation >= 5 && orientation <= 8) return {spec.height, spec.width};
    return {spec.width, spec.height};
}

PackedTexture ImageLoader::loadRGBA8(const fs::path& file) { return load(file).pixels; }

namespace {

// Image 0 of an opened file as stored: no orientation applied.
ImageLoader::Decoded decodeStored(const fs::path& file, OIIO::ImageInput& input, const OIIO::ImageSpec& spec,
                                  std::stop_token stop) {
    const int channels = spec.nchannels;
    int alpha = spec.alpha_channel;
    if (alpha < 0 && (channels == 2 || channels == 4)) {
        alpha = channels - 1;
    }
    const bool monochrome = channels - (alpha >= 0 ? 1 : 0) < 3;
    const int colourChannels = monochrome ? 1 : 3;
    // Only the channels we use are read: colour, and alpha when it exists.
    const int readCount = std::max(colourChannels, alpha >= 0 ? alpha + 1 : 0);

    const auto pixelCount = static_cast<std::size_t>(spec.width) * static_cast<std::size_t>(spec.height);
    ImageLoader::Decoded result;
    result.monochrome = monochrome;
    result.pixels = PackedTexture::zeroed(spec.width, spec.height, stop);
    PackedTexture& out = result.pixels;

    // Up to four channels are decoded straight into the RGBA raster (four bytes apart) and then
    // spread in place; only an alpha channel further back needs a buffer of its own.
    const bool direct = readCount <= 4;
    std::vector<std::uint8_t> raw;
    if (!direct) {
        raw.resize(pixelCount * static_cast<std::size_t>(readCount));
    }
    std::uint8_t* target = direct ? out.rgba.data() : raw.data();
    const OIIO::stride_t pixelStride = direct ? 4 : readCount;
    // Some decoders fill missing data and only record the fault: a truncated file is an error too.
    // The decoder asks between strips and tiles whether to go on.
    const auto stopAsked = [](void* token, float) { return static_cast<const std::stop_token*>(token)->stop_requested(); };
    const bool read = input.read_image(0, 0, 0, readCount, OIIO::TypeDesc::UINT8, target, pixelStride,
                                       OIIO::AutoStride, OIIO::AutoStride, stopAsked, &stop);
    throwIfStopRequested(stop);
    if (!read || input.has_error()) {
        throw ImageLoadError(file, "the pixels cannot be decoded (" + oiioError(&input) + ")");
    }
    input.close();

    const auto stride = static_cast<std::size_t>(pixelStride);
    for (std::size_t i = 0; i < pixelCount; ++i) {
        if (i % (std::size_t{1} << 22) == 0) throwIfStopRequested(stop);
        const std::uint8_t* px = target + i * stride;
        std::uint8_t* dst = out.rgba.data() + i * 4;
        const std::uint8_t a = alpha >= 0 ? px[alpha] : 255;
        if (monochrome) {
            const std::uint8_t grey = px[0];
            dst[0] = dst[1] = dst[2] = grey;
        } else if (!direct) {
            dst[0] = px[0];
            dst[1] = px[1];
            dst[2] = px[2];
        }
        dst[3] = a;
    }
    return result;
}

void orient(const fs::path& file, PackedTexture& pixels, int orientation) {
    if (orientation <= 1 || orientation > 8) return;
    OIIO::ImageSpec rgbaSpec(pixels.width, pixels.height, 4, OIIO::TypeDesc::UINT8);
    rgbaSpec.attribute("Orientation", orientation);
    OIIO::ImageBuf wrapped(rgbaSpec, pixels.rgba.data());
    OIIO::ImageBuf upright = OIIO::ImageBufAlgo::reorient(wrapped);
    if (upright.has_error() || !upright.initialized()) {
        throw ImageLoadError(file, "the orientation cannot be applied");
    }
    const OIIO::ImageSpec& uprightSpec = upright.spec();
    PackedTexture turned;
    turned.width = uprightSpec.width;
    turned.height = uprightSpec.height;
    turned.rgba.resize(pixels.rgba.size());
    if (!upright.get_pixels(upright.roi(), OIIO::TypeDesc::UINT8, turned.rgba.data())) {
        throw ImageLoadError(file, "the orientation cannot be applied");
    }
    pixels = std::move(turned);
}

std::span<const std::uint8_t> iccProfileOf(const OIIO::ImageSpec& spec) {
    const OIIO::ParamValue* icc = spec.find_attribute("ICCProfile");
    if (icc == nullptr || icc->type().basetype != OIIO::TypeDesc::UINT8) return {};
    return {static_cast<const std::uint8_t*>(icc->data()), static_cast<std::size_t>(icc->type().numelements())};
}

}  // namespace

ImageLoader::Decoded ImageLoader::load(const fs::path& file, bool applyOrientation, std::stop_token stop) {
    // Plain PNG files, most texture maps, take the fast path; it gives the same pixels. It reads
    // no file larger than an image of its header's size could be: those go to the guard below.
    try {
        PngReader::Options fast{maxSide, maxPixels, applyOrientation, stop};
        if (auto decoded = PngReader::decodeFile(file, fast)) {
            return {std::move(decoded->pixels), decoded->monochrome};
        }
    } catch (const PngReadError& error) {
        throw ImageLoadError(file, error.what());
    }
    auto input = openInput(file, stop);
    const OIIO::ImageSpec spec = input->spec();
    checkSpec(file, spec);
    Decoded result = decodeStored(file, *input, spec, stop);
    if (applyOrientation) orient(file, result.pixels, spec.get_int_attribute("Orientation", 1));
    return result;
}

PackedTexture ImageLoader::loadPhoto(const fs::path& file, std::stop_token stop) {
    // The general decoder is opened first in any case: it runs the header checks and knows the
    // orientation, whichever decoder then reads the pixels.
    auto input = openInput(file, stop);
    const OIIO::ImageSpec spec = input->spec();
    checkSpec(file, spec);
    const int orientation = spec.get_int_attribute("Orientation", 1);
    PackedTexture pixels;
    std::optional<JpegPhotoReader::Decoded> jpeg;
    if (std::strcmp(input->format_name(), "jpeg") == 0) {
        input->close();
        try {
            jpeg = JpegPhotoReader::read(file);
        } catch (const std::runtime_error& error) {
            throw ImageLoadError(file, std::string("the pixels cannot be decoded (") + error.what() + ")");
        }
        throwIfStopRequested(stop);
        if (!jpeg) throw ImageLoadError(file, "not a readable image (the file changed while it was read)");
        pixels = std::move(jpeg->pixels);
        if (jpeg->cmyk) {
            SrgbConverter::convertCMYK(pixels, jpeg->profile, jpeg->inverted);
        } else {
            SrgbConverter::convert(pixels, jpeg->profile);
        }
    } else {
        pixels = decodeStored(file, *input, spec, stop).pixels;
        SrgbConverter::convert(pixels, iccProfileOf(spec));
    }
    orient(file, pixels, orientation);
    return pixels;
}

}  // namespace morvale
