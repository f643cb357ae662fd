#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image_engine/max_rects_packer.h"
#include "image_engine/packed_texture.h"
#include "image_engine/rgba_image.h"
#include "base/callbacks.h"

namespace morvale {

struct SheetSize {
    double width = 0;
    double height = 0;
    bool operator==(const SheetSize&) const = default;
};

// Turns the frames of one animation into sprite-sheet pages: loads each frame at a scale, trims
// transparent borders, shares the rectangle of frames whose pixels repeat an earlier frame, packs
// the rest and renders every page. Holds no state; create one per use.
class SpriteSheetCompiler {
public:
    struct Options {
        bool trim = true;
        int padding = 2;           // least gap between two slots (the page edges need none)
        int extrude = 1;           // edge pixels repeated outward; a slot is size + 2 × extrude
        int maxSheetSize = 8192;   // largest page side
        double scale = 1.0;        // applied to every frame on loading
        bool allowRotation = false;
    };

    // The flavours of data file that describe a sheet for a game engine.
    enum class DataFormat { jsonHash, jsonArray, cocos, godot, unity };
    static constexpr std::array<DataFormat, 5> allDataFormats = {
        DataFormat::jsonHash, DataFormat::jsonArray, DataFormat::cocos, DataFormat::godot,
        DataFormat::unity};
    static std::string_view rawValue(DataFormat format);
    static std::string_view displayName(DataFormat format);
    static std::string_view fileSuffix(DataFormat format);
    static bool supportsRotation(DataFormat format);
    // Exactly the five raw values; nothing for any other text.
    static std::optional<DataFormat> dataFormat(std::string_view rawValue);

    struct Frame {
        std::string name;            // the frame file's name, extension included
        PackRect frame;              // pixels on the page, size before any turn
        bool rotated = false;        // stored a quarter turn clockwise
        bool trimmed = false;        // trimmed size differs from sourceSize
        PackRect spriteSourceSize;   // kept part within the scaled source
        SheetSize sourceSize;        // scaled source size before trimming
        bool isDuplicate = false;    // shares an earlier frame's pixels
        bool operator==(const Frame&) const = default;
    };

    class AtlasError : public std::runtime_error {
    public:
        enum class Kind {
            sheetTooLarge,
            frameTooLarge,
            emptyFrameList,
            failedToLoadFrames,
            failedToCreateContext,
            failedToCreateImage
        };
        static AtlasError sheetTooLarge(int maxSheetSize);
        static AtlasError frameTooLarge(const std::string& name, int maxSheetSize);
        static AtlasError emptyFrameList();
        static AtlasError failedToLoadFrames();
        static AtlasError failedToCreateContext();
        static AtlasError failedToCreateImage();
        Kind kind() const { return kind_; }

    private:
        AtlasError(Kind kind, const std::string& message);
        Kind kind_;
    };

    // One rendered page and the frames placed on it.
    struct AtlasResult {
        PackedTexture image;         // straight-alpha RGBA, sheetWidth × sheetHeight
        std::vector<Frame> frames;   // in input order, duplicates included
        int sheetWidth = 0;
        int sheetHeight = 0;
        int duplicateCount = 0;

        // Data files of this page. The JSON and property-list writers produce well-formed
        // documents for any frame name.
        std::vector<std::uint8_t> jsonHash(const std::string& imageName,
                                           const std::optional<std::string>& animationName,
                                           const std::vector<std::string>& relatedPacks) const;
        std::vector<std::uint8_t> jsonArray(const std::string& imageName,
                                            const std::vector<std::string>& relatedPacks) const;
        std::vector<std::uint8_t> cocosPlist(const std::string& imageName) const;
        std::string unityMeta(const std::string& imageName, int pixelsPerUnit) const;
    };

    struct Atlas {
        std::vector<AtlasResult> pages;    // in creation order
        std::vector<std::string> skippedFrames;  // names of frames that could not be read

        int frameCount() const;
        int duplicateCount() const;
        // One resource for all pages.
        std::string godotSpriteFrames(const std::vector<std::string>& imageNames,
                                      const std::string& animationName,
                                      const std::vector<std::string>& order, double fps) const;
    };

    using LogCallback = LogSink;

    // Frames in animation order. Unreadable frames are left out, each named in
    // Atlas::skippedFrames and through onLog; only when none can be read does the call fail.
    // A stop requested on `stop` throws OperationCancelled before the next frame, packing
    // attempt or page.
    Atlas compileAtlas(const std::vector<std::filesystem::path>& frameURLs, const Options& options,
                       bool allowMultiplePages, const LogCallback& onLog = {},
                       std::stop_token stop = {}) const;
    // A frame already in memory; no image stands for a file that could not be read, and
    // `error` then says why.
    struct NamedFrame {
        std::string name;
        std::optional<RGBAImage> image;
        std::string error;
    };
    // What compileAtlas does once the files are loaded at the options' scale.
    Atlas compileFrames(std::vector<NamedFrame> frames, const Options& options,
                        bool allowMultiplePages, const LogCallback& onLog = {},
                        std::stop_token stop = {}) const;

    // Where each frame goes, without any pixels: the page-making step of compileFrames.
    // Out-of-range options are brought into range rather than trusted: no negative gaps, and
    // no page side above RGBAImage::maxSide.
    struct LayoutItem {
        int width = 0;    // trimmed size
        int height = 0;
        std::string name;  // for the error when the frame is too large
        bool place = true; // false for a repeat, which takes the rectangle of the frame it repeats
    };
    struct Placement {
        int page = 0;
        PackRect rect;     // the frame's pixels on the page, before any turn
        bool rotated = false;
    };
    struct Layout {
        std::vector<std::optional<Placement>> placements;  // one per item, none for repeats
        std::vector<std::pair<int, int>> pageSizes;         // width, height in page order
    };
    static Layout layoutPages(const std::vector<LayoutItem>& items, const Options& options,
                              bool allowMultiplePages, std::stop_token stop = {});

    // The single page of compileAtlas without spilling.
    AtlasResult compile(const std::vector<std::filesystem::path>& frameURLs,
                        const Options& options, const LogCallback& onLog = {}) const;
};

}  // namespace morvale
