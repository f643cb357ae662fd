#include "image_engine/watermark_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvale {

namespace {

// For each photo pixel along one axis that the logo touches: the logo pixels it draws from and
// their weights. The weights already carry how much of the photo pixel the logo covers, so the
// logo's edges are anti-aliased where its placement falls between pixels and sharp where it does
// not.
struct AxisTaps {
    int begin = 0;  // first photo pixel touched
    int end = 0;    // one past the last
    int stride = 0;
    std::vector<int> first;
    std::vector<int> count;
    std::vector<float> weights;

    bool empty() const { return begin >= end; }
};

AxisTaps axisTaps(double origin, double scale, int sourceLength, int destLength) {
    AxisTaps taps;
    const double extentEnd = origin + sourceLength * scale;
    // Clamp before converting: a huge logo lies mostly outside the photo.
    const double lo = std::clamp(origin, 0.0, static_cast<double>(destLength));
    const double hi = std::clamp(extentEnd, 0.0, static_cast<double>(destLength));
    taps.begin = static_cast<int>(std::floor(lo));
    taps.end = static_cast<int>(std::ceil(hi));
    if (taps.empty()) {
        return taps;
    }
    const auto n = static_cast<std::size_t>(taps.end - taps.begin);
    const bool shrinking = scale < 1.0;
    // A logo shrunk below a pixel still reads at most all of its own pixels.
    taps.stride = shrinking ? static_cast<int>(std::min<double>(sourceLength, std::ceil(1.0 / scale))) + 2 : 2;
    taps.first.assign(n, 0);
    taps.count.assign(n, 0);
    taps.weights.assign(n * static_cast<std::size_t>(taps.stride), 0.0f);
    for (std::size_t k = 0; k < n; ++k) {
        const double p = taps.begin + static_cast<double>(k);
        const double a = std::max(p, origin);
        const double b = std::min(p + 1.0, extentEnd);
        float* w = taps.weights.data() + k * static_cast<std::size_t>(taps.stride);
        if (b <= a) {
            continue;
        }
        if (shrinking) {
            // Area average over the photo pixel's footprint in the logo.
            const double u0 = std::clamp((a - origin) / scale, 0.0, static_cast<double>(sourceLength));
            const double u1 = std::clamp((b - origin) / scale, 0.0, static_cast<double>(sourceLength));
            const int i0 = std::min(sourceLength - 1, static_cast<int>(std::floor(u0)));
            const int i1 = std::min(sourceLength, std::max(i0 + 1, static_cast<int>(std::ceil(u1))));
            taps.first[k] = i0;
            taps.count[k] = std::min(taps.stride, i1 - i0);
            for (int i = i0; i < i0 + taps.count[k]; ++i) {
                const double overlap = std::min(u1, i + 1.0) - std::max(u0, static_cast<double>(i));
                w[i - i0] = static_cast<float>(std::max(0.0, overlap) * scale);
            }
        } else {
            // Bilinear between the two nearest logo pixels, edges repeated inside the logo.
            const double coverage = b - a;
            const double u = (p + 0.5 - origin) / scale - 0.5;
            const double base = std::floor(u);
            const double t = u - base;
            const int i0 = std::clamp(static_cast<int>(base), 0, sourceLength - 1);
            const int i1 = std::clamp(static_cast<int>(base) + 1, 0, sourceLength - 1);
            taps.first[k] = i0;
            if (i1 == i0) {
                taps.count[k] = 1;
                w[0] = static_cast<float>(coverage);
            } else {
                taps.count[k] = 2;
                w[0] = static_cast<float>((1.0 - t) * coverage);
                w[1] = static_cast<float>(t * coverage);
            }
        }
    }
    return taps;
}

std::uint8_t toByte(float value) {
    return static_cast<std::uint8_t>(std::clamp(value + 0.5f, 0.0f, 255.0f));
}

}  // namespace

PipelineImage WatermarkRenderer::applyWatermark(PipelineImage photo, const PipelineImage& watermark,
                                                const WatermarkOptions& options) const {
    if (!photo.pixels.isValid() || !watermark.pixels.isValid() || !std::isfinite(options.opacity) ||
        !std::isfinite(options.scaleFraction) || options.scaleFraction <= 0.0 ||
        !std::isfinite(options.marginFraction)) {
        return photo;
    }
    const double opacity = options.opacity >= 0.999 ? 1.0 : std::clamp(options.opacity, 0.0, 1.0);
    if (opacity == 0.0) {
        return photo;
    }
    const double width = photo.width();
    const double height = photo.height();
    const double scale = width * options.scaleFraction / watermark.width();
    const double sw = watermark.width() * scale;
    const double sh = watermark.height() * scale;
    const double mx = width * options.marginFraction;
    const double my = height * options.marginFraction;

    // Photo pixel coordinates, rows counted from the top.
    double x = 0.0;
    double y = 0.0;
    switch (options.position) {
        case WatermarkPosition::bottomRight: x = width - sw - mx; y = height - my - sh; break;
        case WatermarkPosition::bottomLeft: x = mx; y = height - my - sh; break;
        case WatermarkPosition::topRight: x = width - sw - mx; y = my; break;
        case WatermarkPosition::topLeft: x = mx; y = my; break;
        case WatermarkPosition::center: x = (width - sw) / 2.0; y = (height - sh) / 2.0; break;
    }
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(scale) || scale <= 0.0) {
        return photo;
    }
    const AxisTaps columns = axisTaps(x, scale, watermark.width(), photo.width());
    const AxisTaps rows = axisTaps(y, scale, watermark.height(), photo.height());
    if (columns.empty() || rows.empty()) {
        return photo;
    }

    // Logo rows filtered across into premultiplied RGBA (0 ... 255) at the photo's columns, kept
    // in a ring as deep as the vertical filter: the rows needed only ever move down.
    const auto cols = static_cast<std::size_t>(columns.end - columns.begin);
    const auto ringRows = static_cast<std::size_t>(rows.stride);
    std::vector<float> ring(ringRows * cols * 4);
    const std::uint8_t* logo = watermark.pixels.rgba.data();
    const auto logoRow = static_cast<std::size_t>(watermark.width()) * 4;
    int filteredUpTo = 0;
    auto filterRow = [&](int r) {
        const std::uint8_t* src = logo + static_cast<std::size_t>(r) * logoRow;
        float* out = ring.data() + (static_cast<std::size_t>(r) % ringRows) * cols * 4;
        for (std::size_t k = 0; k < cols; ++k) {
            const float* w = columns.weights.data() + k * static_cast<std::size_t>(columns.stride);
            const std::uint8_t* p = src + static_cast<std::size_t>(columns.first[k]) * 4;
            float acc[4] = {};
            for (int t = 0; t < columns.count[k]; ++t, p += 4) {
                const float alpha = w[t] * p[3];
                acc[0] += alpha * p[0];
                acc[1] += alpha * p[1];
                acc[2] += alpha * p[2];
                acc[3] += alpha;
            }
            out[k * 4 + 0] = acc[0] / 255.0f;
            out[k * 4 + 1] = acc[1] / 255.0f;
            out[k * 4 + 2] = acc[2] / 255.0f;
            out[k * 4 + 3] = acc[3];
        }
    };

    const auto fade = static_cast<float>(opacity);
    std::vector<float> sample(cols * 4);
    std::uint8_t* dst = photo.pixels.rgba.data();
    const auto photoRow = static_cast<std::size_t>(photo.width()) * 4;
    for (int j = rows.begin; j < rows.end; ++j) {
        const auto k = static_cast<std::size_t>(j - rows.begin);
        const int first = rows.first[k];
        const int count = rows.count[k];
        if (count == 0) {
            continue;
        }
        filteredUpTo = std::max(filteredUpTo, first);
        for (; filteredUpTo < first + count; ++filteredUpTo) {
            filterRow(filteredUpTo);
        }
        std::fill(sample.begin(), sample.end(), 0.0f);
        const float* w = rows.weights.data() + k * static_cast<std::size_t>(rows.stride);
        for (int t = 0; t < count; ++t) {
            const float weight = w[t] * fade;
            const float* src = ring.data() + (static_cast<std::size_t>(first + t) % ringRows) * cols * 4;
            for (std::size_t i = 0; i < cols * 4; ++i) {
                sample[i] += weight * src[i];
            }
        }
        std::uint8_t* out = dst + static_cast<std::size_t>(j) * photoRow + static_cast<std::size_t>(columns.begin) * 4;
        for (std::size_t i = 0; i < cols; ++i, out += 4) {
            const float* s = sample.data() + i * 4;
            const float keep = 1.0f - s[3] / 255.0f;
            if (out[3] == 255) {
                out[0] = toByte(s[0] + out[0] * keep);
                out[1] = toByte(s[1] + out[1] * keep);
                out[2] = toByte(s[2] + out[2] * keep);
                continue;
            }
            // Source over a translucent photo pixel, back to straight alpha.
            const float below = out[3] / 255.0f * keep;
            const float alpha = s[3] + out[3] * keep;
            if (alpha <= 0.0f) {
                continue;
            }
            const float unpremultiply = 255.0f / alpha;
            out[0] = toByte((s[0] + out[0] * below) * unpremultiply);
            out[1] = toByte((s[1] + out[1] * below) * unpremultiply);
            out[2] = toByte((s[2] + out[2] * below) * unpremultiply);
            out[3] = toByte(alpha);
        }
    }
    return photo;
}

}  // namespace morvale
