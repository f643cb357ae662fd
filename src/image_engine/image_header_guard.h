#pragma once

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>

namespace morvale {

// Reads what an image file's header and its sections claim, before any decoder sees the file, and
// refuses a file whose claims could make a decoder allocate far more than the file could hold:
// section, attribute and palette lengths past the end of the file, sides or pixel counts beyond
// the loader's caps, and pixels that could not come from that many bytes at the format's best
// compression ratio. The bound is loose enough for every real encoder: a file of N bytes passes
// when its pixels fit in ratio * N bytes plus 1 MiB.
//
// A PNG file larger than any image of its header's size could be is refused before more than its
// header is read, and the chunk walk is bounded and stops (OperationCancelled) when `stop` is asked.
//
// Knows PNG, JPEG, TIFF, OpenEXR, Photoshop (PSD and PSB), BMP and Targa. Stateless; safe from any
// thread.
class ImageHeaderGuard {
public:
    static constexpr std::uintmax_t slackBytes = std::uintmax_t{1} << 20;

    // The decoder to open the file with: chosen by the file's content for the formats above (so a
    // misnamed file reaches the right decoder and no other), else by the file's extension.
    // Throws ImageLoadError ("the image is too large ..." or "not a readable image ...").
    static std::string check(const std::filesystem::path& file, std::stop_token stop = {});
};

}  // namespace morvale
