#pragma once

#include "image_engine/pipeline_image.h"

namespace morvale {

// Stamps a logo onto a photo: the logo is scaled to a fraction of the photo's width, placed in a
// corner (inset by a margin) or in the centre, faded to an opacity and composited source-over.
// Stateless; safe to use from many threads at once.
class WatermarkRenderer {
public:
    enum class WatermarkPosition { bottomRight, bottomLeft, topRight, topLeft, center };

    struct WatermarkOptions {
        double opacity = 1.0;         // 0 ... 1; 0.999 or more draws the logo fully opaque
        double scaleFraction = 0.18;  // logo width over photo width; the height follows
        double marginFraction = 0.03; // of the photo's width horizontally, of its height vertically
        WatermarkPosition position = WatermarkPosition::bottomRight;
    };

    // The photo with the logo drawn over it: same size, same metadata. Only the part of the logo
    // that lands on the photo is resampled (area average when shrinking, bilinear when enlarging),
    // in premultiplied alpha so that transparent pixels lend no colour to the logo's edges. Never
    // fails: an empty photo or logo, a fraction that is not a positive number or an opacity that is
    // not a number returns the photo as it is.
    PipelineImage applyWatermark(PipelineImage photo, const PipelineImage& watermark,
                                 const WatermarkOptions& options) const;
};

}  // namespace morvale
