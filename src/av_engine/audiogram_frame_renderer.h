#pragma once

// Module-private: the audiogram generator's painter. Not for use outside src/av_engine.

#include "av_engine/audiogram_generator.h"
#include "av_engine/caption_word.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace morvale::audiogram {

// Pixels in Cairo's ARGB32 layout (BGRA in memory, premultiplied), rows of `stride` bytes from the top.
struct Picture {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<std::uint8_t> pixels;
};

// The first picture of a file scaled to cover width × height and cropped to its centre; nothing for a
// file FFmpeg cannot decode, one that is not a regular file, or one over 16384 px a side or 2^28 px.
std::optional<Picture> coverBackground(const std::filesystem::path& file, int width, int height);

// Paints the frames of one video into one reused buffer. The background, its dimming and the title are
// painted once; each frame restores only the rows the previous one painted over. One thread at a time.
class FrameRenderer {
public:
    FrameRenderer(int width, int height, std::uint32_t rgb, const std::optional<Picture>& background,
                  std::vector<CaptionCue> cues, const std::optional<std::string>& title, int fps);
    ~FrameRenderer();
    FrameRenderer(const FrameRenderer&) = delete;
    FrameRenderer& operator=(const FrameRenderer&) = delete;

    // Paints frame `frame` of `totalFrames` and returns the buffer (valid until the next call).
    const Picture& draw(const std::vector<float>& envelope, std::int64_t frame, std::int64_t totalFrames);

    // Row ranges [top, bottom) that the last draw() changed; the first draw changes every row.
    const std::vector<std::pair<int, int>>& changedRows() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace morvale::audiogram
