#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "batch_presets/varnholt_preset.h"
#include "image_engine/bracket_merger.h"
#include "image_engine/image_properties.h"
#include "image_engine/pipeline_image.h"

namespace morvale {

struct BatchItem;
struct ProcessingContext;

// The listing preset's processing step: one photo (or the exposure bracket it leads) becomes a
// full-resolution print JPEG in "Print_Package" and a size-capped web JPEG in the portal's folder,
// straightened, watermarked and without the seller's location when asked.
//
// Runs on the queue's worker threads, several items at once. What the items of a run share (the
// bracket cache, the decoded logo, the output paths) lives in the run's ledger; bracket fusion
// queues at the process-wide merge gate and decodes its shots there, one at a time.
class ListingProcessor {
public:
    static std::vector<std::filesystem::path> process(const VarnholtPreset& preset, const BatchItem& item,
                                                      const ProcessingContext& context);

    // The run's naming pattern bound to one item: context variables in, a file stem out.
    using Resolve = std::function<std::string(const std::map<std::string, std::string>&)>;
    // The packages' files relative to the output folder, in the order written: "Print_Package/" and
    // the portal's folder + "/", each followed by the pattern's name (with {address} and {size}
    // "Print" or "Web") + ".jpg", each when its package is on.
    static std::vector<std::string> packageNames(const VarnholtPreset& preset, const Resolve& resolve);
    // Throws std::invalid_argument for a web size or file-size cap the web package cannot be made
    // with (the codec keeps them in range; a preset set up in code may not).
    static void checkWebFields(const VarnholtPreset& preset);
    // The photo's bracket among the run's files: the shots of its bracket that are the photo itself
    // or that `queued` says the run queued, in bracket order. Its first shot leads the bracket.
    static std::vector<std::filesystem::path> bracketAmong(const std::filesystem::path& photo,
                                                           const VarnholtPreset& preset,
                                                           BracketMerger::FolderCache& cache,
                                                           const std::function<bool(const std::filesystem::path&)>& queued);

    // A landscape photo centre-cropped to the shape (sides rounded half away from zero); the photo
    // itself when the shape is original, the photo is not wider than tall, or the crop would take
    // less than a pixel off either side.
    static PipelineImage cropped(const PipelineImage& image, VarnholtPreset::WebAspect aspect);
    struct Frame {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
    };
    // The rectangle cropped() keeps of a width x height photo; nothing when it keeps the photo whole.
    static std::optional<Frame> cropFrame(int width, int height, VarnholtPreset::WebAspect aspect);

    struct CappedJpeg {
        std::vector<std::uint8_t> bytes;
        int encodings = 0;  // encoder calls made
    };
    // The image as a JPEG of at most maxKB x 1024 bytes: up to six sizes (maxDimension, then 15 %
    // smaller each round), five qualities each (0.85 down to 0.55), the first that fits winning. A
    // round whose size equals the last one tried is not encoded again. No bytes when nothing fits
    // (or the cap is outside 1 KB ... the largest that fits in bytes). Throws
    // VarnholtPreset::PresetError::encodingFailed and OperationCancelled.
    static CappedJpeg encodeUnderSizeCap(const PipelineImage& image, const ImageProperties& properties,
                                         double maxDimension, std::int64_t maxKB, std::stop_token stop = {});

    // The value with that many decimals in the C locale, without the sign of a value that prints as
    // zero ("-0.00" reads "0.00"); empty for a value beyond any sensible size.
    static std::string fixed(double value, int decimals);
};

}  // namespace morvale
