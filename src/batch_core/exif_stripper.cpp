#include "batch_core/exif_stripper.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/atomic_file_writer.h"
#include "base/exif/exiv2_session.h"
#include "batch_core/jpeg_metadata_editor.h"
#include "batch_core/pixel_reencoder/pixel_reencoder.h"

namespace morvale {

namespace fs = std::filesystem;

using Kind = EXIFStripper::EXIFError::Kind;
using Option = EXIFStripper::StripOption;

namespace {

std::string messageFor(Kind kind, const fs::path& file) {
    switch (kind) {
        case Kind::cannotOpenImageSource: return "Cannot open image source at " + file.string();
        case Kind::unsupportedImageType: return "Unsupported image type for " + file.filename().string();
        case Kind::cannotCreateImageDestination: return "Cannot create image destination at " + file.string();
        case Kind::failedToWriteImage: return "Failed to finalize and write image to " + file.string();
    }
    return {};
}

struct Bytes {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// A source file checked and read through one descriptor, kept open so that the decoder reads
// the very file that was checked.
struct Source {
    FileDescriptor fd;
    Bytes bytes;
};

// The whole file, if it is a regular file within the bound. Opened without blocking and checked on
// the open descriptor, so a FIFO or device answers at once and cannot be swapped in after the check.
std::optional<Source> readBounded(const fs::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
        static_cast<std::uintmax_t>(status.st_size) > EXIFStripper::maxSourceBytes) {
        return std::nullopt;
    }
    Bytes bytes;
    const auto size = static_cast<std::size_t>(status.st_size);
    try {
        bytes.data = std::make_unique_for_overwrite<unsigned char[]>(size);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    // A file that shrinks meanwhile is taken as it now is; one that grows, as it was when checked.
    while (bytes.size < size) {
        const ssize_t got = ::read(fd.get(), bytes.data.get() + bytes.size, size - bytes.size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        bytes.size += static_cast<std::size_t>(got);
    }
    if (bytes.size == 0) return std::nullopt;
    return Source{std::move(fd), std::move(bytes)};
}

// -- Lossless path: exiv2 rewrites the metadata around the untouched encoded image -------------

// In a TIFF-structured file the EXIF entries of the image directories describe the pages
// themselves (and hold the ICC profile): dropping them would drop the pages. These stay whatever
// the option; every other entry there is description.
bool isImageStructure(const Exiv2::Exifdatum& datum) {
    static constexpr std::string_view groups[] = {
        "Image",     "Thumbnail", "Image2",    "Image3",    "SubImage1", "SubImage2", "SubImage3",
        "SubImage4", "SubImage5", "SubImage6", "SubImage7", "SubImage8", "SubImage9", "SubThumb1"};
    static constexpr std::string_view tags[] = {
        "NewSubfileType", "SubfileType", "ImageWidth", "ImageLength", "BitsPerSample", "Compression",
        "PhotometricInterpretation", "Thresholding", "CellWidth", "CellLength", "FillOrder", "StripOffsets",
        "SamplesPerPixel", "RowsPerStrip", "StripByteCounts", "MinSampleValue", "MaxSampleValue", "XResolution",
        "YResolution", "PlanarConfiguration", "ResolutionUnit", "TransferFunction", "Predictor", "WhitePoint",
        "PrimaryChromaticities", "ColorMap", "HalftoneHints", "TileWidth", "TileLength", "TileOffsets",
        "TileByteCounts", "SubIFDs", "InkSet", "InkNames", "NumberOfInks", "DotRange", "ExtraSamples",
        "SampleFormat", "SMinSampleValue", "SMaxSampleValue", "TransferRange", "JPEGTables", "JPEGProc",
        "JPEGInterchangeFormat", "JPEGInterchangeFormatLength", "YCbCrCoefficients", "YCbCrSubSampling",
        "YCbCrPositioning", "ReferenceBlackWhite", "InterColorProfile"};
    const std::string group = datum.groupName();
    const std::string tag = datum.tagName();
    return std::find(std::begin(groups), std::end(groups), group) != std::end(groups) &&
           std::find(std::begin(tags), std::end(tags), tag) != std::end(tags);
}

bool isTIFFStructured(int type) {
    return type == Exiv2::ImageType::tiff || type == Exiv2::ImageType::cr2 || type == Exiv2::ImageType::orf;
}

std::optional<long> orientationOf(const Exiv2::ExifData& exif, const Exiv2::XmpData& xmp) {
    std::optional<long> orientation;
    if (auto found = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation")); found != exif.end() && found->count() > 0) {
        orientation = found->toLong();
    } else if (auto inXmp = xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation"));
               inXmp != xmp.end() && inXmp->count() > 0) {
        orientation = inXmp->toLong();
    }
    if (orientation && (*orientation < 1 || *orientation > 8)) orientation.reset();
    return orientation;
}

bool isEssential(const Exiv2::Exifdatum& datum) {
    const std::string key = datum.key();
    return ((key == "Exif.Image.Copyright" || key == "Exif.Image.Artist") && datum.typeId() == Exiv2::asciiString);
}

// What stripAllExifExceptOrientation and stripEverything leave of the EXIF: the orientation,
// copyright and artist (the former only), and the image structure of TIFF-structured files.
Exiv2::ExifData keptExif(const Exiv2::Image& image, Option option) {
    const Exiv2::ExifData& exif = image.exifData();
    Exiv2::ExifData kept;
    const bool tiff = isTIFFStructured(image.imageType());
    const bool essentials = option == Option::stripAllExifExceptOrientation;
    for (const auto& datum : exif) {
        if ((tiff && isImageStructure(datum)) || (essentials && isEssential(datum))) kept.add(datum);
    }
    if (essentials) {
        if (const auto orientation = orientationOf(exif, image.xmpData())) {
            kept["Exif.Image.Orientation"] = static_cast<std::uint16_t>(*orientation);
        }
    }
    return kept;
}

template <typename Data>
void eraseGPS(Data& data) {
    for (auto it = data.begin(); it != data.end();) {
        it = exiv2_session::isGPSKey(it->key()) ? data.erase(it) : std::next(it);
    }
}

void editMetadata(Exiv2::Image& image, Option option) {
    if (option == Option::stripGPSOnly) {
        eraseGPS(image.exifData());
        eraseGPS(image.xmpData());
        return;
    }
    image.setExifData(keptExif(image, option));
    image.clearIptcData();
    image.clearXmpData();
    image.clearComment();
}

// -- Re-encoding path: the pixel re-encoder module decodes image 0 and writes it again ---------

struct PixelCodec {
    MorvalePixelReencode reencode = nullptr;
    MorvalePixelHasLocation hasLocation = nullptr;
};

// Loaded on first use and kept for the process's life (see pixel_reencoder.h for why).
const PixelCodec& pixelCodec() {
    static const PixelCodec codec = [] {
        PixelCodec loaded;
        void* module = ::dlopen(MORVALE_PIXEL_REENCODER, RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) return loaded;
        loaded.reencode = reinterpret_cast<MorvalePixelReencode>(::dlsym(module, "morvale_pixel_reencode"));
        loaded.hasLocation = reinterpret_cast<MorvalePixelHasLocation>(::dlsym(module, "morvale_pixel_has_location"));
        return loaded;
    }();
    return codec;
}

JpegMetadataEditor::Keep keepFor(Option option) {
    switch (option) {
        case Option::stripGPSOnly: return JpegMetadataEditor::Keep::allButLocation;
        case Option::stripAllExifExceptOrientation: return JpegMetadataEditor::Keep::orientation;
        case Option::stripEverything: break;
    }
    return JpegMetadataEditor::Keep::structureOnly;
}

// The JPEG encoder writes an EXIF block of its own (version, colour space): the file it wrote
// goes through the same segment filter as a lossless copy, so both paths keep the same things.
void keepOnly(AtomicFileWriter& file, Option option) {
    std::optional<Source> encoded = readBounded(file.temporaryPath());
    if (!encoded) throw EXIFStripper::EXIFError(Kind::failedToWriteImage, file.destination());
    const auto output = JpegMetadataEditor::rewrite(reinterpret_cast<char*>(encoded->bytes.data.get()),
                                                    encoded->bytes.size, keepFor(option));
    if (!output) throw EXIFStripper::EXIFError(Kind::failedToWriteImage, file.destination());
    if (::ftruncate(file.fd(), 0) != 0 || ::lseek(file.fd(), 0, SEEK_SET) != 0) {
        throw EXIFStripper::EXIFError(Kind::failedToWriteImage, file.destination(),
                                      std::error_code(errno, std::generic_category()));
    }
    for (const std::string_view piece : output->pieces) file.write(piece);
}

void reencode(const FileDescriptor& fd, int exivType, const fs::path& source, const fs::path& destination,
              Option option, double compressionQuality) {
    const PixelCodec& codec = pixelCodec();
    if (codec.reencode == nullptr) throw EXIFStripper::EXIFError(Kind::cannotOpenImageSource, source);
    try {
        AtomicFileWriter file(destination, {.createFolders = false});
        int isJpeg = 0;
        const int result = codec.reencode(fd.get(), source.c_str(), exivType != Exiv2::ImageType::none ? 1 : 0,
                                          file.temporaryPath().c_str(), static_cast<int>(option), compressionQuality,
                                          &isJpeg);
        switch (result) {
            case morvalePixelWritten: break;
            case morvalePixelUnsupportedType: throw EXIFStripper::EXIFError(Kind::unsupportedImageType, source);
            case morvalePixelCannotOpenSource: throw EXIFStripper::EXIFError(Kind::cannotOpenImageSource, source);
            case morvalePixelCannotCreate: throw EXIFStripper::EXIFError(Kind::cannotCreateImageDestination, destination);
            default: throw EXIFStripper::EXIFError(Kind::failedToWriteImage, destination);
        }
        if (isJpeg != 0) keepOnly(file, option);
        file.commit();
    } catch (const AtomicWriteError& error) {
        throw EXIFStripper::EXIFError(Kind::failedToWriteImage, destination, error.code());
    }
}

// JPEGs are rewritten segment by segment, without exiv2: the scan is passed on untouched and every
// place a location hides is handled. False when its segments cannot be walked, or a location
// survived the edit: such a file is decoded and encoded anew.
bool stripJpeg(Source& file, const fs::path& destination, Option option) {
    auto* data = reinterpret_cast<char*>(file.bytes.data.get());
    const auto output = JpegMetadataEditor::rewrite(data, file.bytes.size, keepFor(option));
    if (!output) return false;
    try {
        AtomicFileWriter writer(destination, {.createFolders = false});
        for (const std::string_view piece : output->pieces) writer.write(piece);
        writer.commit();
    } catch (const AtomicWriteError& error) {
        throw EXIFStripper::EXIFError(Kind::failedToWriteImage, destination, error.code());
    }
    return true;
}

}  // namespace

EXIFStripper::EXIFError::EXIFError(Kind kind, fs::path file, std::error_code reason)
    : std::runtime_error(messageFor(kind, file)), kind_(kind), path_(std::move(file)), reason_(reason) {}

void EXIFStripper::stripMetadata(const fs::path& source, const fs::path& destination, StripOption option,
                                 double compressionQuality) const {
    std::optional<Source> file = readBounded(source);
    if (!file) throw EXIFError(Kind::cannotOpenImageSource, source);
    const bool jpeg = JpegMetadataEditor::looksLikeJpeg(
        std::string_view(reinterpret_cast<const char*>(file->bytes.data.get()), file->bytes.size));
    if (jpeg && stripJpeg(*file, destination, option)) return;
    exiv2_session::ensureInitialized();

    const auto* data = file->bytes.data.get();
    const auto size = static_cast<long>(file->bytes.size);
    int type = jpeg ? Exiv2::ImageType::jpeg : Exiv2::ImageType::none;
    try {
        if (!jpeg) type = Exiv2::ImageFactory::getType(data, size);
        if (!jpeg && type != Exiv2::ImageType::none) {
            // The image reads the caller's bytes in place; its output is a buffer of its own.
            auto image = Exiv2::ImageFactory::open(data, size);
            image->readMetadata();
            editMetadata(*image, option);
            image->writeMetadata();
            Exiv2::BasicIo& io = image->io();
            const auto written = static_cast<std::size_t>(io.size());
            const auto* output = reinterpret_cast<const char*>(io.mmap());
            try {
                AtomicFileWriter::writeFile(destination, std::string_view(output, written), {.createFolders = false});
            } catch (const AtomicWriteError& error) {
                throw EXIFError(Kind::failedToWriteImage, destination, error.code());
            }
            return;
        }
    } catch (const EXIFError&) {
        throw;
    } catch (const std::exception&) {
        // The format's metadata cannot be rewritten in place (or is damaged): re-encode instead.
    }
    try {
        file->bytes = {};
        reencode(file->fd, type, source, destination, option, compressionQuality);
    } catch (const EXIFError&) {
        throw;
    } catch (const std::exception&) {
        throw EXIFError(Kind::failedToWriteImage, destination);
    }
}

bool EXIFStripper::containsGPS(const fs::path& file) const {
    std::optional<Source> source = readBounded(file);
    if (!source) return false;
    const std::string_view bytes(reinterpret_cast<const char*>(source->bytes.data.get()), source->bytes.size);
    if (JpegMetadataEditor::looksLikeJpeg(bytes)) {
        if (const auto located = JpegMetadataEditor::containsLocation(bytes)) return *located;
    }
    exiv2_session::ensureInitialized();
    const auto isGPS = [](const auto& datum) { return exiv2_session::isGPSKey(datum.key()); };
    try {
        const auto* data = source->bytes.data.get();
        const auto size = static_cast<long>(source->bytes.size);
        const int type = Exiv2::ImageFactory::getType(data, size);
        if (type != Exiv2::ImageType::none) {
            auto image = Exiv2::ImageFactory::open(data, size);
            image->readMetadata();
            if (std::any_of(image->exifData().begin(), image->exifData().end(), isGPS) ||
                std::any_of(image->xmpData().begin(), image->xmpData().end(), isGPS)) {
                return true;
            }
            if (Exiv2::ImageFactory::checkMode(type, Exiv2::mdExif) & Exiv2::amWrite) return false;
        }
    } catch (const std::exception&) {
        // Unreadable metadata: the decoder may still see some.
    }
    // Formats that are re-encoded to strip them may hold a location only the decoder sees.
    const PixelCodec& codec = pixelCodec();
    return codec.hasLocation != nullptr && codec.hasLocation(source->fd.get(), file.c_str()) != 0;
}

}  // namespace morvale
