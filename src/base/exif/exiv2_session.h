#pragma once

#include <string_view>

// What every user of exiv2 in this program shares: the library's one-time start-up and the rule
// for which metadata keys reveal where a photo was taken.
namespace morvale::exiv2_session {

// Mutes the library's console messages, lets it read HEIC/AVIF (BMFF) containers, and starts the
// XMP toolkit with a lock so that namespace registration is safe from many threads. Cheap after the
// first call; safe to call from any thread.
void ensureInitialized();

// True for the keys that carry location: "Exif.GPSInfo.*", the GPS IFD pointer
// "Exif.Image.GPSTag", and XMP "Xmp.exif.GPS*".
bool isGPSKey(std::string_view key);

}  // namespace morvale::exiv2_session
