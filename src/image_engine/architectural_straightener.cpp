#include "image_engine/architectural_straightener.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numbers>

#include "base/cancellation.h"
#include "image_engine/lanczos_resampler.h"

namespace morvale {

namespace {

constexpr int kAngles = 161;  // -20° ... +20° in quarter degrees
constexpr double kRollLimit = 6.0 * std::numbers::pi / 180.0;
constexpr double kRollFloor = 0.15 * std::numbers::pi / 180.0;
constexpr double kKeystoneLimit = 0.25;
constexpr double kKeystoneFloor = 0.008;
constexpr double kIdentity = 0.0001;

double angleAt(double index) { return (0.25 * index - 20.0) * std::numbers::pi / 180.0; }

const std::array<float, 256>& srgbToLinear() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) {
            const double c = i / 255.0;
            t[static_cast<std::size_t>(i)] =
                static_cast<float>(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
        return t;
    }();
    return table;
}

using Matrix = cv::Matx33d;

Matrix translation(double x, double y) { return Matrix(1, 0, x, 0, 1, y, 0, 0, 1); }

}  // namespace

bool ArchitecturalStraightener::StraightenParameters::isIdentity() const {
    return std::abs(verticalKeystoneCorrection) < kIdentity && std::abs(rotationAngleRadians) < kIdentity;
}

std::optional<ArchitecturalStraightener::GrayBitmap> ArchitecturalStraightener::grayscaleBitmap(
    const PipelineImage& image, int maxDimension) {
    if (!image.pixels.isValid() || image.width() < 32 || image.height() < 32 || maxDimension < 1) {
        return std::nullopt;
    }
    const int longer = std::max(image.width(), image.height());
    int width = image.width();
    int height = image.height();
    if (longer > maxDimension) {
        // Exact integers: the longer side lands on the limit itself, never one short.
        width = static_cast<int>(std::int64_t{width} * maxDimension / longer);
        height = static_cast<int>(std::int64_t{height} * maxDimension / longer);
    }
    if (width < 32 || height < 32) {
        return std::nullopt;
    }
    const PackedTexture scaled = LanczosResampler::resample(image.pixels, width, height);
    const auto& linear = srgbToLinear();
    GrayBitmap bitmap{width, height,
                      std::vector<std::uint8_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height))};
    const std::uint8_t* p = scaled.rgba.data();
    for (auto& out : bitmap.pixels) {
        const float luminance = 0.2126f * linear[p[0]] + 0.7152f * linear[p[1]] + 0.0722f * linear[p[2]];
        out = static_cast<std::uint8_t>(std::clamp(luminance * static_cast<float>(p[3]) + 0.5f, 0.0f, 255.0f));
        p += 4;
    }
    return bitmap;
}

std::vector<ArchitecturalStraightener::DetectedLine> ArchitecturalStraightener::detectVerticalLines(
    const GrayBitmap& bitmap) {
    const int w = bitmap.width;
    const int h = bitmap.height;
    if (w < 5 || h < 5 || bitmap.pixels.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h)) {
        return {};
    }
    auto at = [&](int x, int y) { return int{bitmap.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)]}; };
    struct Point {
        int x, y;
    };
    std::vector<Point> edges;
    for (int y = 2; y <= h - 3; ++y) {
        for (int x = 2; x <= w - 3; ++x) {
            const int gx = (2 * at(x + 1, y) + at(x + 1, y - 1) + at(x + 1, y + 1)) -
                           (2 * at(x - 1, y) + at(x - 1, y - 1) + at(x - 1, y + 1));
            const int gy = (2 * at(x, y + 1) + at(x - 1, y + 1) + at(x + 1, y + 1)) -
                           (2 * at(x, y - 1) + at(x - 1, y - 1) + at(x + 1, y - 1));
            if (std::abs(gx) > 120 && 5 * std::abs(gy) < 2 * std::abs(gx)) {
                edges.push_back({x, y});
            }
        }
    }
    if (edges.size() <= static_cast<std::size_t>(h / 2)) {
        return {};
    }

    const int half = w / 2;
    const int span = w + 2 * half;
    std::vector<std::uint32_t> votes(static_cast<std::size_t>(kAngles) * static_cast<std::size_t>(span), 0);
    auto counter = [&](int k, int offset) -> std::uint32_t& {
        return votes[static_cast<std::size_t>(k) * static_cast<std::size_t>(span) + static_cast<std::size_t>(offset)];
    };
    for (int k = 0; k < kAngles; ++k) {
        const double slope = std::tan(angleAt(k));
        for (const Point& p : edges) {
            const double x0 = std::round(p.x - slope * (p.y - 0.5 * h));
            const double offset = half + x0;
            if (offset >= 0.0 && offset < span) {
                ++counter(k, static_cast<int>(offset));
            }
        }
    }

    const auto threshold = static_cast<std::uint32_t>(0.22 * h);
    std::vector<DetectedLine> lines;
    while (lines.size() < 40) {
        const auto best = std::max_element(votes.begin(), votes.end());
        if (*best == 0 || *best < threshold) {
            break;
        }
        const std::uint32_t count = *best;
        const auto index = static_cast<std::size_t>(best - votes.begin());
        const int k = static_cast<int>(index / static_cast<std::size_t>(span));
        const int offset = static_cast<int>(index % static_cast<std::size_t>(span));
        // A straight edge a pixel or two wide scores the same over several neighbouring angles;
        // the middle of that run is the edge's angle (the first would tilt every upright line).
        int last = k;
        while (last + 1 < kAngles && counter(last + 1, offset) == count) {
            ++last;
        }
        lines.push_back({static_cast<double>(offset - half), std::tan(angleAt(0.5 * (k + last))),
                         static_cast<int>(count)});
        for (int kk = std::max(0, k - 12); kk <= std::min(kAngles - 1, last + 12); ++kk) {
            for (int o = std::max(0, offset - 8); o <= std::min(span - 1, offset + 8); ++o) {
                counter(kk, o) = 0;
            }
        }
    }
    std::erase_if(lines, [&](const DetectedLine& line) { return line.x0 < 0.0 || line.x0 >= w; });
    return lines;
}

ArchitecturalStraightener::StraightenParameters ArchitecturalStraightener::analyze(const PipelineImage& image) const {
    const auto bitmap = grayscaleBitmap(image, 720);
    if (!bitmap) {
        return StraightenParameters::identity();
    }
    const std::vector<DetectedLine> lines = detectVerticalLines(*bitmap);
    if (lines.size() < 2) {
        return StraightenParameters::identity();
    }
    const double w = bitmap->width;
    double sv = 0, svx = 0, svxx = 0, svs = 0, svxs = 0;
    for (const DetectedLine& line : lines) {
        const double v = line.votes;
        const double x = line.x0 - 0.5 * w;
        sv += v;
        svx += v * x;
        svxx += v * x * x;
        svs += v * line.slope;
        svxs += v * x * line.slope;
    }
    const double mean = svs / sv;
    const double meanX = svx / sv;
    const double variance = svxx / sv - meanX * meanX;
    double gradient = 0.0;
    double intercept = mean;
    if (lines.size() != 2 && std::sqrt(std::max(0.0, variance)) > 0.12 * w) {
        gradient = (svxs / sv - mean * meanX) / variance;
        intercept = mean - meanX * gradient;
    }
    double keystone = gradient * bitmap->height * 0.5;
    double roll = -std::atan(intercept);
    if (std::abs(keystone) > kKeystoneLimit || std::abs(keystone) < kKeystoneFloor) {
        keystone = 0.0;
    }
    if (std::abs(roll) > kRollLimit || std::abs(roll) < kRollFloor) {
        roll = 0.0;
    }
    StraightenParameters parameters;
    parameters.verticalKeystoneCorrection = keystone;
    parameters.rotationAngleRadians = roll;
    parameters.linesDetected = static_cast<int>(lines.size());
    return parameters;
}

PipelineImage ArchitecturalStraightener::straighten(const PipelineImage& image, const StraightenParameters& parameters,
                                                    std::stop_token stop) const {
    const double v = parameters.verticalKeystoneCorrection;
    const double r = parameters.rotationAngleRadians;
    if (!image.pixels.isValid() || !std::isfinite(v) || !std::isfinite(r) || std::abs(v) >= 1.0 ||
        parameters.isIdentity()) {
        return image;
    }
    const double width = image.width();
    const double height = image.height();
    // Source to output, in continuous coordinates with rows downwards (pixel centres at +0.5).
    Matrix forward = Matrix::eye();
    if (std::abs(r) > kIdentity) {
        // Rotated about the centre and zoomed just enough that the rotated frame covers every
        // corner of the original one.
        const double zoom = std::cos(std::abs(r)) + std::max(width / height, height / width) * std::sin(std::abs(r));
        if (!(zoom > 0.0)) {
            return image;
        }
        const double c = std::cos(r) * zoom;
        const double s = std::sin(r) * zoom;
        const Matrix rotation(c, s, 0, -s, c, 0, 0, 0, 1);
        forward = translation(width / 2, height / 2) * rotation * translation(-width / 2, -height / 2);
    }
    int outWidth = image.width();
    if (std::abs(v) > kIdentity) {
        const double narrow = std::min(1.0 + v, 1.0 - v);
        const double halfW = 0.5 * width;
        const double midX = halfW;
        const double bottom = narrow * halfW / (1.0 + v);
        const double top = narrow * halfW / (1.0 - v);
        const cv::Point2f from[4] = {{0.0f, 0.0f},
                                     {static_cast<float>(width), 0.0f},
                                     {0.0f, static_cast<float>(height)},
                                     {static_cast<float>(width), static_cast<float>(height)}};
        const cv::Point2f to[4] = {{static_cast<float>(midX - top), 0.0f},
                                   {static_cast<float>(midX + top), 0.0f},
                                   {static_cast<float>(midX - bottom), static_cast<float>(height)},
                                   {static_cast<float>(midX + bottom), static_cast<float>(height)}};
        const Matrix perspective(cv::getPerspectiveTransform(from, to));
        const double keep = parameters.autoCrop ? std::min(bottom, top) : std::max(bottom, top);
        const double left = std::ceil(midX - keep);
        outWidth = static_cast<int>(std::floor(2.0 * keep));
        if (outWidth < 1) {
            return image;
        }
        forward = translation(-left, 0) * perspective * forward;
    }
    // OpenCV puts pixel centres at whole numbers.
    const Matrix pixels = translation(-0.5, -0.5) * forward * translation(0.5, 0.5);
    // Cropped to the narrower edge (or only rotated) every output pixel lies on the photo, and its
    // edge pixels repeat for the last fraction of a pixel; kept full width, the parts beyond the
    // narrowed edge are transparent.
    const bool transparentOutside = std::abs(v) > kIdentity && !parameters.autoCrop;

    PipelineImage out;
    out.properties = image.properties;
    out.pixels.width = outWidth;
    out.pixels.height = image.height();
    out.pixels.rgba.resize(static_cast<std::size_t>(outWidth) * static_cast<std::size_t>(image.height()) * 4);
    const cv::Mat source(image.height(), image.width(), CV_8UC4, const_cast<std::uint8_t*>(image.pixels.rgba.data()));
    // Bands of about a million pixels, so that a stop request is seen within a few milliseconds.
    const int band = std::max(16, (1 << 20) / outWidth);
    for (int y0 = 0; y0 < image.height(); y0 += band) {
        throwIfStopRequested(stop);
        const int rows = std::min(band, image.height() - y0);
        cv::Mat target(rows, outWidth, CV_8UC4,
                       out.pixels.rgba.data() + static_cast<std::size_t>(y0) * static_cast<std::size_t>(outWidth) * 4);
        cv::warpPerspective(source, target, cv::Mat(translation(0, -y0) * pixels), target.size(), cv::INTER_LINEAR,
                            transparentOutside ? cv::BORDER_CONSTANT : cv::BORDER_REPLICATE, cv::Scalar::all(0));
    }
    return out;
}

std::pair<PipelineImage, ArchitecturalStraightener::StraightenParameters> ArchitecturalStraightener::autoStraighten(
    const PipelineImage& image, std::stop_token stop) const {
    const StraightenParameters parameters = analyze(image);
    return {straighten(image, parameters, std::move(stop)), parameters};
}

}  // namespace morvale
