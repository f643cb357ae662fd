#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "image_engine/pipeline_image.h"

namespace morvale {

// Why a bracket could not be fused. what() is the fixed message:
//   noImages      "No photos to merge."
//   tooSmall      "The photos are too small to merge."          (a side below 16 pixels)
//   tooLarge      "The photos are too large to merge."          (above 100 megapixels)
//   sizeMismatch  "The bracketed photos aren't all the same size."
//   renderFailed  "Could not render the merged photo."          (a shot without valid pixels)
class MergeError : public std::runtime_error {
public:
    enum class Kind { noImages, tooSmall, tooLarge, sizeMismatch, renderFailed };
    explicit MergeError(Kind kind);
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Finds a photo's exposure bracket among the photos of its folder (shot in quick succession, same
// pixel size, clearly different exposures) and fuses a bracket into one picture by exposure fusion:
// each pixel of each shot is weighted by local contrast, saturation and closeness to mid-grey, and
// the shots are blended level by level in Laplacian pyramids. Later shots can first be moved by
// whole pixels to line up with the first. Stateless apart from the caller's FolderCache.
class BracketMerger {
public:
    // Brackets found per folder and extension set, reused while the folder is unchanged: the same
    // names with the same modification times, sizes and inodes. Thread-safe; the lock is held only
    // to look up and to store, never while reading photos. Two threads asking about one folder at
    // once may both compute its brackets; both get the same answer.
    class FolderCache {
    public:
        struct Entry {
            std::string stamp;
            std::vector<std::vector<std::filesystem::path>> groups;
        };
        std::optional<Entry> find(const std::string& key) const;
        void store(const std::string& key, Entry entry);

    private:
        mutable std::mutex mutex_;
        std::map<std::string, Entry> entries_;
    };

    // The photo's bracket in bracket order (time, then name), or just the photo itself. Photos
    // count when their lower-case extension (without the dot) is in `extensions`. Never fails: an
    // unreadable folder or photo leaves the photo in a bracket of one.
    static std::vector<std::filesystem::path> brackets(const std::filesystem::path& photo,
                                                       const std::set<std::string>& extensions,
                                                       FolderCache& cache);

    // A measured translation of a shot against the reference (y upwards), turned into the whole
    // pixels it is moved by: nothing below half a pixel on both axes or beyond 3 % of the larger
    // side on either; otherwise each component rounded half away from zero.
    struct Shift {
        int x = 0;
        int y = 0;
        bool operator==(const Shift&) const = default;
    };
    static std::optional<Shift> acceptedAlignment(double tx, double ty, int width, int height);

    // Decodes shot `index` of the bracket (0 is the reference). Called once per shot, in order.
    using ShotLoader = std::function<PackedTexture(std::size_t index)>;

    // The fused picture, opaque, without metadata. Only one shot is decoded at a time; memory is
    // the pyramids' running sums (about 22 bytes per pixel) plus one shot's work. Throws MergeError,
    // what the loader throws, and OperationCancelled when the token fires.
    PipelineImage fuse(std::size_t count, const ShotLoader& load, bool align, std::stop_token stop = {}) const;
    PipelineImage fuse(const std::vector<PipelineImage>& images, bool align, std::stop_token stop = {}) const;

    // Pyramid levels for a W x H bracket: floor(log2(min side)) - 2, within 1 ... 10.
    static int levelCount(int width, int height);
};

}  // namespace morvale
