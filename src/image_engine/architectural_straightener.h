#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <utility>
#include <vector>

#include "image_engine/pipeline_image.h"

namespace morvale {

// Finds the near-vertical lines of a building photo by a Hough vote on a small grey copy, fits how
// their slope changes across the frame, and corrects the roll and the vertical keystone in one
// perspective warp. Stateless; safe to use from many threads at once.
class ArchitecturalStraightener {
public:
    struct StraightenParameters {
        // Relative narrowing of one edge against the other: positive narrows the bottom.
        double verticalKeystoneCorrection = 0.0;
        // Carried along; the analysis sets 0 and straightening ignores it.
        double horizontalKeystoneCorrection = 0.0;
        // Roll to apply, counter-clockwise as seen.
        double rotationAngleRadians = 0.0;
        // After the keystone correction keep the narrower edge's width (no empty corners) or the
        // full width.
        bool autoCrop = true;
        // Lines the analysis used; 0 when it found fewer than two.
        int linesDetected = 0;

        static StraightenParameters identity() { return {}; }
        bool isIdentity() const;
        bool operator==(const StraightenParameters&) const = default;
    };

    struct DetectedLine {
        double x0 = 0.0;     // column at mid-height of the grey copy
        double slope = 0.0;  // columns per row, rows counted downwards
        int votes = 0;
        bool operator==(const DetectedLine&) const = default;
    };

    // One byte of linear-light luminance per pixel, rows from the top, no gaps.
    struct GrayBitmap {
        int width = 0;
        int height = 0;
        std::vector<std::uint8_t> pixels;
    };

    // Roll and keystone of the photo's verticals; zeros when it is too small or shows fewer than
    // two lines. Corrections beyond 6° or 0.25 are dropped as implausible, those below 0.15° or
    // 0.008 as noise.
    StraightenParameters analyze(const PipelineImage& image) const;

    // The photo rotated about its centre by the roll (zoomed so that no corner is empty) and its
    // verticals made parallel by the keystone, then cropped to the narrower edge when autoCrop is
    // set. The input itself when there is nothing to correct or the corrections are not usable
    // numbers (|keystone| >= 1, NaN). Throws OperationCancelled when the token fires.
    PipelineImage straighten(const PipelineImage& image, const StraightenParameters& parameters,
                             std::stop_token stop = {}) const;

    // analyze, then straighten.
    std::pair<PipelineImage, StraightenParameters> autoStraighten(const PipelineImage& image,
                                                                  std::stop_token stop = {}) const;

    // The photo Lanczos-scaled so that its longer side is at most maxDimension (sizes in exact
    // integers, rounded down), as linear-light Rec. 709 luminance over black; nothing when a side
    // is below 32 pixels before or after scaling.
    static std::optional<GrayBitmap> grayscaleBitmap(const PipelineImage& image, int maxDimension);

    // Near-vertical lines (within 20° of vertical) of a grey copy, strongest first.
    static std::vector<DetectedLine> detectVerticalLines(const GrayBitmap& bitmap);
};

}  // namespace morvale
