#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace morvale {

// Rewrites an image file without some or all of its embedded metadata, and tells whether a file
// carries location data.
//
// The metadata is rewritten around the encoded image, which is copied untouched (a JPEG is not
// re-compressed; a multi-page TIFF keeps every page). A JPEG is rewritten segment by segment
// (JpegMetadataEditor), so a location goes wherever it hides: every EXIF segment, the thumbnail's
// own metadata, XMP and extended XMP, images appended after the main one; the stricter options
// keep only the JFIF, ICC and Adobe segments and a fresh EXIF segment. Other formats go through
// exiv2. Formats whose metadata cannot be rewritten that way (HEIC, BMP, TGA, EXR, GIF, a JPEG
// too damaged to walk, ...) are decoded and re-encoded in their own format, image 0 only, at the
// given quality, by a module loaded on first use; a file holding more than one image is refused
// on that path rather than rewritten with pages missing. The ICC profile is colour, not metadata,
// and always stays.
//
// No state: calls for different files may run on many threads at once. Two calls on the same file
// at once are not guarded against.
class EXIFStripper {
public:
    enum class StripOption {
        stripGPSOnly,                   // everything but the location
        stripAllExifExceptOrientation,  // the orientation; on the lossless path also the copyright and artist
        stripEverything,                // nothing
    };

    // Sources larger than this are refused before anything is read.
    static constexpr std::uintmax_t maxSourceBytes = std::uintmax_t{512} << 20;

    // Every failure of stripMetadata is one of these four; what() is the message.
    class EXIFError : public std::runtime_error {
    public:
        enum class Kind {
            cannotOpenImageSource,         // "Cannot open image source at <source path>"
            unsupportedImageType,          // "Unsupported image type for <source file name>"
            cannotCreateImageDestination,  // "Cannot create image destination at <destination path>"
            failedToWriteImage,            // "Failed to finalize and write image to <destination path>"
        };

        EXIFError(Kind kind, std::filesystem::path file, std::error_code reason = {});
        Kind kind() const { return kind_; }
        // The source for the first two kinds, the destination for the other two.
        const std::filesystem::path& path() const { return path_; }
        // The system's reason when writing the destination failed (no space left, permission
        // denied, ...), for callers that add it to the message; empty otherwise.
        const std::error_code& reason() const { return reason_; }

    private:
        Kind kind_;
        std::filesystem::path path_;
        std::error_code reason_;
    };

    // Writes `source` without the metadata `option` removes to `destination`, which may be the
    // source itself, in the source's image type. The destination is replaced in one step and only
    // on success, keeping the mode of the file it replaces; its folder must exist.
    // `compressionQuality` (0 to 1) applies only when the image has to be re-encoded.
    //
    // Throws EXIFError:
    // - cannotOpenImageSource: not a regular file, larger than maxSourceBytes, unreadable, empty,
    //   or damaged so that neither its metadata nor its pixels can be read;
    // - unsupportedImageType: no known image type, or more than one image in a file that can only
    //   be re-encoded;
    // - cannotCreateImageDestination: the type can be read but not written;
    // - failedToWriteImage: encoding or writing the destination failed.
    void stripMetadata(const std::filesystem::path& source, const std::filesystem::path& destination,
                       StripOption option, double compressionQuality) const;

    // True when the file carries location in any place the stripper removes it from: for a JPEG
    // every EXIF segment's GPS directory, the thumbnail's own metadata, any XMP or extended XMP
    // property named GPS*, and images appended after the main one; for other formats the EXIF GPS
    // entries and XMP exif:GPS* properties, or a GPS attribute only the decoder sees. Never fails:
    // anything but a readable regular image file within maxSourceBytes answers false at once.
    bool containsGPS(const std::filesystem::path& file) const;
};

}  // namespace morvale
