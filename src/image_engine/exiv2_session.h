#pragma once

// Prepares the metadata library once per process (XMP toolkit start-up, no console messages).
// Every user of exiv2 in the image engine calls this first; it is cheap after the first call.
namespace morvale::exiv2_session {

void ensureInitialized();

}  // namespace morvale::exiv2_session
