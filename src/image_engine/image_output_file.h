#pragma once

#include <OpenImageIO/imageio.h>

#include <filesystem>

#include "base/atomic_file_writer.h"

namespace morvale {

// Runs an OpenImageIO encoder straight into an AtomicFileWriter's temporary file, so that a failed
// write is reported with the system's reason ("Cannot write <file>: No space left on device")
// rather than as an encoder failure. Internal to the image engine.
class ImageOutputFile {
public:
    // Encodes `pixels` (8-bit, interleaved, as many channels as `spec` names) with the named encoder into
    // `output`'s temporary file; the caller commits. Throws AtomicWriteError for a failure of the
    // file system, std::runtime_error "Cannot write <file>: <encoder's reason>" for one of the
    // encoder.
    static void encode(AtomicFileWriter& output, const char* format, const OIIO::ImageSpec& spec,
                       const void* pixels);
};

}  // namespace morvale
