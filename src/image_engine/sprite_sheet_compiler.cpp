#include "image_engine/sprite_sheet_compiler.h"

#include "base/cancellation.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>
#include <string_view>
#include <unordered_map>

namespace morvale {

namespace {

struct Prepared {
    std::string name;
    RGBAImage pixels;  // trimmed; left empty for a frame too large for any page
    int width = 0;     // trimmed size
    int height = 0;
    SheetSize sourceSize;
    PackRect trimRect;
    std::optional<std::size_t> duplicateOf;
};

std::int64_t powerOfTwoAtLeast(std::int64_t n) {
    if (n < 2) return 1;
    std::int64_t p = 1;
    while (p < n) p *= 2;
    return p;
}

std::size_t hashFrame(const RGBAImage& image) {
    const std::string_view bytes(reinterpret_cast<const char*>(image.pixels.data()),
                                 image.pixels.size());
    std::size_t h = std::hash<std::string_view>{}(bytes);
    h ^= std::hash<int>{}(image.width) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h ^= std::hash<int>{}(image.height) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
}

// Copies a frame raster into the page at (x, y) and repeats its outermost pixels `extrude`
// pixels outward; corners take the corner pixel. Nothing is blended, so soft edges keep their
// alpha exactly.
void drawExtruded(RGBAImage& page, const RGBAImage& raster, int x, int y, int extrude) {
    const std::size_t pageRow = static_cast<std::size_t>(page.width) * 4;
    const std::size_t srcRow = static_cast<std::size_t>(raster.width) * 4;
    const int x0 = x - extrude;
    const int y0 = y - extrude;
    const int x1 = x + raster.width + extrude;  // exclusive
    const int y1 = y + raster.height + extrude;
    for (int py = std::max(0, y0); py < std::min(page.height, y1); ++py) {
        const int sy = std::clamp(py - y, 0, raster.height - 1);
        const std::uint8_t* src = raster.pixels.data() + static_cast<std::size_t>(sy) * srcRow;
        std::uint8_t* dst = page.pixels.data() + static_cast<std::size_t>(py) * pageRow;
        const int left = std::max(0, x0);
        const int right = std::min(page.width, x1);
        for (int px = left; px < std::min(x, right); ++px) {
            std::memcpy(dst + static_cast<std::size_t>(px) * 4, src, 4);
        }
        const int innerLeft = std::max(left, x);
        const int innerRight = std::min(right, x + raster.width);
        if (innerRight > innerLeft) {
            std::memcpy(dst + static_cast<std::size_t>(innerLeft) * 4,
                        src + static_cast<std::size_t>(innerLeft - x) * 4,
                        static_cast<std::size_t>(innerRight - innerLeft) * 4);
        }
        const std::uint8_t* lastPixel = src + static_cast<std::size_t>(raster.width - 1) * 4;
        for (int px = std::max(left, x + raster.width); px < right; ++px) {
            std::memcpy(dst + static_cast<std::size_t>(px) * 4, lastPixel, 4);
        }
    }
}

}  // namespace

// ---- Data formats ----

std::string_view SpriteSheetCompiler::rawValue(DataFormat format) {
    switch (format) {
        case DataFormat::jsonHash: return "json";
        case DataFormat::jsonArray: return "json-array";
        case DataFormat::cocos: return "cocos";
        case DataFormat::godot: return "godot";
        case DataFormat::unity: return "unity";
    }
    return "json";
}

std::string_view SpriteSheetCompiler::displayName(DataFormat format) {
    switch (format) {
        case DataFormat::jsonHash: return "JSON Hash (Phaser, PixiJS)";
        case DataFormat::jsonArray: return "JSON Array (Phaser, generic)";
        case DataFormat::cocos: return "Cocos2d (.plist)";
        case DataFormat::godot: return "Godot 4 SpriteFrames (.tres)";
        case DataFormat::unity: return "Unity sliced sprite (.png.meta)";
    }
    return "";
}

std::string_view SpriteSheetCompiler::fileSuffix(DataFormat format) {
    switch (format) {
        case DataFormat::jsonHash:
        case DataFormat::jsonArray: return ".json";
        case DataFormat::cocos: return ".plist";
        case DataFormat::godot: return ".tres";
        case DataFormat::unity: return ".png.meta";
    }
    return "";
}

bool SpriteSheetCompiler::supportsRotation(DataFormat format) {
    return format == DataFormat::jsonHash || format == DataFormat::jsonArray ||
           format == DataFormat::cocos;
}

std::optional<SpriteSheetCompiler::DataFormat> SpriteSheetCompiler::dataFormat(
    std::string_view raw) {
    for (DataFormat f : allDataFormats) {
        if (rawValue(f) == raw) return f;
    }
    return std::nullopt;
}

// ---- Errors ----

SpriteSheetCompiler::AtlasError::AtlasError(Kind kind, const std::string& message)
    : std::runtime_error(message), kind_(kind) {}

SpriteSheetCompiler::AtlasError SpriteSheetCompiler::AtlasError::sheetTooLarge(int m) {
    const std::string side = std::to_string(m);
    return AtlasError(Kind::sheetTooLarge, "The frames don't fit on a " + side + "x" + side +
                                               " sheet. Split the sequence or scale it down.");
}

SpriteSheetCompiler::AtlasError SpriteSheetCompiler::AtlasError::frameTooLarge(
    const std::string& name, int m) {
    const std::string side = std::to_string(m);
    return AtlasError(Kind::frameTooLarge,
                      name + " is larger than the " + side + "x" + side + " sheet limit.");
}

SpriteSheetCompiler::AtlasError SpriteSheetCompiler::AtlasError::emptyFrameList() {
    return AtlasError(Kind::emptyFrameList,
                      "No animation frames provided for sprite-sheet compilation.");
}

SpriteSheetCompiler::AtlasError SpriteSheetCompiler::AtlasError::failedToLoadFrames() {
    return AtlasError(Kind::failedToLoadFrames, "Failed to decode frame images from provided URLs.");
}

SpriteSheetCompiler::AtlasError SpriteSheetCompiler::AtlasError::failedToCreateContext() {
    return AtlasError(Kind::failedToCreateContext,
                      "Unable to create graphics bitmap context for atlas.");
}

SpriteSheetCompiler::AtlasError SpriteSheetCompiler::AtlasError::failedToCreateImage() {
    return AtlasError(Kind::failedToCreateImage, "Failed to render final sprite sheet image.");
}

// ---- Atlas ----

int SpriteSheetCompiler::Atlas::frameCount() const {
    std::size_t n = 0;
    for (const AtlasResult& page : pages) n += page.frames.size();
    return static_cast<int>(n);
}

int SpriteSheetCompiler::Atlas::duplicateCount() const {
    int n = 0;
    for (const AtlasResult& page : pages) n += page.duplicateCount;
    return n;
}

// ---- Compiling ----

SpriteSheetCompiler::Atlas SpriteSheetCompiler::compileAtlas(
    const std::vector<std::filesystem::path>& frameURLs, const Options& options,
    bool allowMultiplePages, const LogCallback& onLog, std::stop_token stop) const {
    if (frameURLs.empty()) throw AtlasError::emptyFrameList();
    std::vector<NamedFrame> frames;
    frames.reserve(frameURLs.size());
    for (const auto& url : frameURLs) {
        throwIfStopRequested(stop);
        NamedFrame frame{url.filename().string(), std::nullopt, {}};
        try {
            frame.image = RGBAImage::load(url, options.scale);
        } catch (const std::exception& error) {
            frame.error = error.what();
        }
        frames.push_back(std::move(frame));
    }
    return compileFrames(std::move(frames), options, allowMultiplePages, onLog, std::move(stop));
}

SpriteSheetCompiler::AtlasResult SpriteSheetCompiler::compile(
    const std::vector<std::filesystem::path>& frameURLs, const Options& options,
    const LogCallback& onLog) const {
    Atlas atlas = compileAtlas(frameURLs, options, false, onLog);
    return std::move(atlas.pages.front());
}

SpriteSheetCompiler::Layout SpriteSheetCompiler::layoutPages(const std::vector<LayoutItem>& items,
                                                              const Options& options,
                                                              bool allowMultiplePages,
                                                              std::stop_token stop) {
    const int maxSheet = std::clamp(options.maxSheetSize, 0, RGBAImage::maxSide);
    const std::int64_t e = std::clamp(options.extrude, 0, RGBAImage::maxSide);
    const std::int64_t p = std::clamp(options.padding, 0, RGBAImage::maxSide);
    const std::int64_t M = maxSheet;

    // Largest side first; stable so equal sides keep input order.
    std::vector<std::size_t> distinct;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (items[i].place) distinct.push_back(i);
    }
    auto longSide = [&](std::size_t i) { return std::max(items[i].width, items[i].height); };
    std::stable_sort(distinct.begin(), distinct.end(),
                     [&](std::size_t a, std::size_t b) { return longSide(a) > longSide(b); });

    for (std::size_t i : distinct) {
        if (items[i].width + 2 * e > M || items[i].height + 2 * e > M) {
            throw AtlasError::frameTooLarge(items[i].name, maxSheet);
        }
    }

    Layout layout;
    layout.placements.resize(items.size());
    std::vector<std::size_t> remaining = distinct;
    while (!remaining.empty()) {
        double area = 0;
        std::int64_t widest = 0;
        std::int64_t tallest = 0;
        for (std::size_t i : remaining) {
            const std::int64_t w = items[i].width;
            const std::int64_t h = items[i].height;
            area += static_cast<double>(w + 2 * e + p) * static_cast<double>(h + 2 * e + p);
            widest = std::max(widest, w + 2 * e);
            tallest = std::max(tallest, h + 2 * e);
        }
        const std::int64_t leastWidth = options.allowRotation ? std::min(widest, tallest) : widest;
        const auto rootArea = static_cast<std::int64_t>(std::floor(std::sqrt(area)));
        std::int64_t W = std::min(powerOfTwoAtLeast(std::max(rootArea, leastWidth)), M);
        std::int64_t H = 0;
        if (options.allowRotation) {
            H = W <= 1 ? 1 : std::min(powerOfTwoAtLeast(W / 2), M);
        } else {
            H = std::min(powerOfTwoAtLeast(std::max(W / 2, tallest)), M);
        }

        const int pageIndex = static_cast<int>(layout.pageSizes.size());
        std::vector<std::pair<std::size_t, Placement>> placedHere;
        std::vector<std::size_t> unplaced;
        for (;;) {
            placedHere.clear();
            unplaced.clear();
            MaxRectsPacker packer(static_cast<int>(W), static_cast<int>(H), static_cast<int>(p));
            for (std::size_t i : remaining) {
                throwIfStopRequested(stop);  // one insert may scan every free rectangle of the page
                const int w = items[i].width;
                const int h = items[i].height;
                const auto spot = packer.insert(static_cast<int>(w + 2 * e),
                                                static_cast<int>(h + 2 * e),
                                                options.allowRotation && w != h);
                if (!spot) {
                    unplaced.push_back(i);
                    continue;
                }
                placedHere.push_back(
                    {i, Placement{pageIndex,
                                  PackRect{static_cast<double>(spot->x + e),
                                           static_cast<double>(spot->y + e),
                                           static_cast<double>(w), static_cast<double>(h)},
                                  spot->rotated}});
            }
            if (unplaced.empty()) break;
            // Grow the smaller side (the width when they are equal) and pack again.
            if (W < M || H < M) {
                if (H < W) {
                    H = std::min(2 * H, M);
                } else {
                    W = std::min(2 * W, M);
                }
                continue;
            }
            if (allowMultiplePages && !placedHere.empty()) break;
            throw AtlasError::sheetTooLarge(maxSheet);
        }
        for (auto& [i, placement] : placedHere) layout.placements[i] = placement;
        layout.pageSizes.emplace_back(static_cast<int>(W), static_cast<int>(H));
        remaining = std::move(unplaced);
    }
    return layout;
}

SpriteSheetCompiler::Atlas SpriteSheetCompiler::compileFrames(std::vector<NamedFrame> input,
                                                              const Options& options,
                                                              bool allowMultiplePages,
                                                              const LogCallback& onLog,
                                                              std::stop_token stop) const {
    if (input.empty()) throw AtlasError::emptyFrameList();

    const int e = std::clamp(options.extrude, 0, RGBAImage::maxSide);
    const int maxSheet = std::clamp(options.maxSheetSize, 0, RGBAImage::maxSide);

    Atlas atlas;

    // Trim and recognise repeats.
    std::vector<Prepared> prepared;
    prepared.reserve(input.size());
    std::unordered_multimap<std::size_t, std::size_t> byHash;
    for (NamedFrame& item : input) {
        throwIfStopRequested(stop);
        if (!item.image || item.image->width < 1 || item.image->height < 1) {
            atlas.skippedFrames.push_back(item.name);
            if (onLog) {
                onLog("Skipped frame " + item.name +
                      (item.error.empty() ? std::string(": it could not be read.")
                                          : ": " + item.error));
            }
            continue;
        }
        RGBAImage raster = std::move(*item.image);
        Prepared prep;
        prep.name = std::move(item.name);
        prep.sourceSize = {static_cast<double>(raster.width), static_cast<double>(raster.height)};
        if (options.trim) {
            const PackRect bounds = raster.opaqueBounds().value_or(PackRect{0, 0, 1, 1});
            if (bounds.width != raster.width || bounds.height != raster.height) {
                raster = raster.cropped(bounds);
            }
            prep.trimRect = bounds;
        } else {
            prep.trimRect = {0, 0, prep.sourceSize.width, prep.sourceSize.height};
        }
        prep.width = raster.width;
        prep.height = raster.height;
        if (std::int64_t{raster.width} + 2 * e > maxSheet ||
            std::int64_t{raster.height} + 2 * e > maxSheet) {
            // The layout will refuse this frame; holding its pixels until then would only let a
            // sequence of huge frames exhaust memory first.
            prepared.push_back(std::move(prep));
            continue;
        }
        prep.pixels = std::move(raster);

        // A matching hash is only a hint: the bytes decide, so a collision never makes one
        // frame show another's pixels.
        const std::size_t h = hashFrame(prep.pixels);
        const std::size_t index = prepared.size();
        auto [first, last] = byHash.equal_range(h);
        for (auto it = first; it != last; ++it) {
            if (prepared[it->second].pixels == prep.pixels) {
                prep.duplicateOf = it->second;
                break;
            }
        }
        if (!prep.duplicateOf) byHash.emplace(h, index);
        prepared.push_back(std::move(prep));
    }
    if (prepared.empty()) throw AtlasError::failedToLoadFrames();

    std::vector<LayoutItem> items(prepared.size());
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        items[i] = {prepared[i].width, prepared[i].height, prepared[i].name,
                    !prepared[i].duplicateOf.has_value()};
    }
    const Layout layout = layoutPages(items, options, allowMultiplePages, stop);
    const auto& placements = layout.placements;
    const auto& pageSizes = layout.pageSizes;

    // Frame lists and pictures, page by page.
    for (std::size_t k = 0; k < pageSizes.size(); ++k) {
        throwIfStopRequested(stop);
        const auto [W, H] = pageSizes[k];
        AtlasResult page;
        page.sheetWidth = W;
        page.sheetHeight = H;
        for (const Prepared& prep : prepared) {
            const std::size_t key =
                prep.duplicateOf ? *prep.duplicateOf
                                 : static_cast<std::size_t>(&prep - prepared.data());
            const auto& placement = placements[key];
            if (!placement || placement->page != static_cast<int>(k)) continue;
            Frame frame;
            frame.name = prep.name;
            frame.frame = placement->rect;
            frame.rotated = placement->rotated;
            frame.trimmed = prep.trimRect.width != prep.sourceSize.width ||
                            prep.trimRect.height != prep.sourceSize.height;
            frame.spriteSourceSize = prep.trimRect;
            frame.sourceSize = prep.sourceSize;
            frame.isDuplicate = prep.duplicateOf.has_value();
            if (frame.isDuplicate) ++page.duplicateCount;
            page.frames.push_back(std::move(frame));
        }

        RGBAImage canvas;
        try {
            canvas = RGBAImage(W, H);
        } catch (const std::length_error&) {
            throw AtlasError::failedToCreateContext();
        }
        for (std::size_t i = 0; i < prepared.size(); ++i) {
            const auto& placement = placements[i];
            if (prepared[i].duplicateOf || !placement || placement->page != static_cast<int>(k)) {
                continue;
            }
            const int x = static_cast<int>(placement->rect.x);
            const int y = static_cast<int>(placement->rect.y);
            if (placement->rotated) {
                drawExtruded(canvas, prepared[i].pixels.rotatedClockwise(), x, y, e);
            } else {
                drawExtruded(canvas, prepared[i].pixels, x, y, e);
            }
        }
        page.image = PackedTexture{canvas.width, canvas.height, std::move(canvas.pixels)};
        atlas.pages.push_back(std::move(page));
    }
    return atlas;
}

}  // namespace morvale
