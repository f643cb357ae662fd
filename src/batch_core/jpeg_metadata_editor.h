#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// Removes metadata from a JPEG segment by segment, without decoding it: the compressed image
// (everything from the first start-of-scan through the end-of-image marker) is passed on untouched.
//
// Location is looked for wherever a reader finds it: the GPS directory of every EXIF APP1 segment
// (not only the first), the EXIF thumbnail's own metadata, the XMP packet and the extended XMP
// packets it refers to, and the images some cameras append after the main one (multi-picture
// files). Removing it is done in place and keeps every size, so offsets into the file stay right:
// the GPS directory is unlinked and zeroed, XMP location properties are blanked with spaces (the
// extended packet gets the new GUID its content calls for, in the main packet too), and an EXIF
// segment too damaged to edit is zeroed whole.
//
// Stateless; safe from any thread on different buffers.
class JpegMetadataEditor {
public:
    enum class Keep {
        allButLocation,  // every segment, with the location removed
        orientation,     // JFIF, ICC profile, Adobe colour transform, and a fresh EXIF segment
                         // holding the orientation, copyright and artist, if there are any
        structureOnly,   // JFIF, ICC profile and Adobe colour transform only
    };

    // The rewritten file as pieces to be written in order; they point into `jpeg` (which
    // allButLocation edits in place) or into `owned`.
    struct Output {
        std::vector<std::string_view> pieces;
        std::vector<std::string> owned;
    };

    // True when the bytes start with a JPEG's SOI marker, as every reader decides.
    static bool looksLikeJpeg(std::string_view bytes);

    // nullopt when the segments before the first scan cannot be walked (a length past the end, a
    // byte where a marker belongs, no scan at all): such a file is not rewritten this way.
    static std::optional<Output> rewrite(char* jpeg, std::size_t size, Keep keep);

    // Whether any of the places above holds location; nullopt when the segments cannot be walked.
    // An EXIF segment that cannot be read counts as location, since a lenient reader may find some.
    static std::optional<bool> containsLocation(std::string_view jpeg);
};

}  // namespace morvale
