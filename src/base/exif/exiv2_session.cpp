#include "base/exif/exiv2_session.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <mutex>

namespace morvale::exiv2_session {

namespace {

// The XMP toolkit calls this around its namespace registry; the mutex lives as long as the process.
void lockXmp(void* data, bool lock) {
    auto* mutex = static_cast<std::recursive_mutex*>(data);
    if (lock) {
        mutex->lock();
    } else {
        mutex->unlock();
    }
}

}  // namespace

void ensureInitialized() {
    static std::once_flag once;
    std::call_once(once, [] {
        static std::recursive_mutex xmpMutex;
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::enableBMFF(true);
        Exiv2::XmpParser::initialize(lockXmp, &xmpMutex);
    });
}

bool isGPSKey(std::string_view key) {
    return key.starts_with("Exif.GPSInfo.") || key == "Exif.Image.GPSTag" || key.starts_with("Xmp.exif.GPS");
}

}  // namespace morvale::exiv2_session
