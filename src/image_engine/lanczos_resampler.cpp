#include "image_engine/lanczos_resampler.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <thread>

#include "base/cancellation.h"
#include "base/system_limits.h"
#include "image_engine/image_loader.h"

namespace morvale {

namespace {

constexpr double kLobes = 3.0;

double lanczos(double x) {
    x = std::fabs(x);
    if (x < 1e-9) {
        return 1.0;
    }
    if (x >= kLobes) {
        return 0.0;
    }
    const double px = std::numbers::pi * x;
    return kLobes * std::sin(px) * std::sin(px / kLobes) / (px * px);
}

// For every output position, the first source index and the normalised weights of its taps.
struct Taps {
    int count = 0;                 // taps per output position (the same for all)
    std::vector<int> first;        // per output position
    std::vector<float> weights;    // count per output position
};

Taps makeTaps(int source, int target) {
    const double scale = static_cast<double>(target) / source;
    const double stretch = scale < 1.0 ? 1.0 / scale : 1.0;  // widen the kernel when shrinking
    const double support = kLobes * stretch;
    Taps taps;
    taps.count = static_cast<int>(std::ceil(support)) * 2 + 1;
    taps.first.resize(static_cast<std::size_t>(target));
    taps.weights.assign(static_cast<std::size_t>(target) * static_cast<std::size_t>(taps.count), 0.0f);
    std::vector<double> w(static_cast<std::size_t>(taps.count));
    for (int o = 0; o < target; ++o) {
        const double centre = (o + 0.5) / scale - 0.5;
        const int first = static_cast<int>(std::floor(centre - support)) + 1;
        double sum = 0.0;
        for (int t = 0; t < taps.count; ++t) {
            const double value = lanczos((first + t - centre) / stretch);
            w[static_cast<std::size_t>(t)] = value;
            sum += value;
        }
        // Taps beyond the edge fold onto the edge pixel (edges repeat outward).
        std::vector<double> folded(static_cast<std::size_t>(taps.count), 0.0);
        int lo = std::max(0, first);
        int hi = std::min(source - 1, first + taps.count - 1);
        if (lo > hi) {  // cannot happen for sane sizes; keep the nearest pixel
            lo = hi = std::clamp(static_cast<int>(std::lround(centre)), 0, source - 1);
        }
        taps.first[static_cast<std::size_t>(o)] = lo;
        for (int t = 0; t < taps.count; ++t) {
            const int index = std::clamp(first + t, lo, hi);
            folded[static_cast<std::size_t>(index - lo)] += w[static_cast<std::size_t>(t)];
        }
        for (int t = 0; t < taps.count; ++t) {
            taps.weights[static_cast<std::size_t>(o) * static_cast<std::size_t>(taps.count) +
                         static_cast<std::size_t>(t)] =
                static_cast<float>(folded[static_cast<std::size_t>(t)] / sum);
        }
    }
    return taps;
}

std::uint8_t toByte(float value) {
    const float v = value + 0.5f;
    if (!(v > 0.0f)) {
        return 0;
    }
    if (v >= 255.0f) {
        return 255;
    }
    return static_cast<std::uint8_t>(v);
}

// One row through the horizontal taps. The row is widened to float once, so that each source
// value is converted once rather than once per tap that reads it.
template <int C>
void filterRow(const std::uint8_t* src, int sourceWidth, const Taps& taps, int targetWidth, float* wide,
               float* dst) {
    const std::size_t values = static_cast<std::size_t>(sourceWidth) * C;
    for (std::size_t i = 0; i < values; ++i) {
        wide[i] = static_cast<float>(src[i]);
    }
    const auto count = static_cast<std::size_t>(taps.count);
    for (int o = 0; o < targetWidth; ++o) {
        const int first = taps.first[static_cast<std::size_t>(o)];
        const float* w = taps.weights.data() + static_cast<std::size_t>(o) * count;
        const auto available = static_cast<std::size_t>(std::min(taps.count, sourceWidth - first));
        float acc[C] = {};
        const float* p = wide + static_cast<std::size_t>(first) * C;
        for (std::size_t t = 0; t < available; ++t) {
            const float weight = w[t];
            for (std::size_t c = 0; c < C; ++c) {
                acc[c] += weight * p[t * C + c];
            }
        }
        for (std::size_t c = 0; c < C; ++c) {
            dst[static_cast<std::size_t>(o) * C + c] = acc[c];
        }
    }
}

template <int C>
void resampleImpl(const std::uint8_t* src, int w, int h, std::uint8_t* dst, int tw, int th,
                  const std::stop_token& stop) {
    const Taps horizontal = makeTaps(w, tw);
    const Taps vertical = makeTaps(h, th);
    const std::size_t rowFloats = static_cast<std::size_t>(tw) * C;
    const std::size_t srcRow = static_cast<std::size_t>(w) * C;

    // Output rows are handed out in blocks; each block filters the source rows it needs
    // horizontally into its own buffer and then combines them vertically.
    constexpr int kBlock = 64;
    const int blocks = (th + kBlock - 1) / kBlock;
    const int workers = std::max(1, std::min(blocks, allowedProcessorCount()));
    std::atomic<int> next{0};

    auto work = [&] {
        std::vector<float> band;
        std::vector<float> wide(srcRow);
        for (int block = next.fetch_add(1); block < blocks; block = next.fetch_add(1)) {
            throwIfStopRequested(stop);
            const int y0 = block * kBlock;
            const int y1 = std::min(th, y0 + kBlock);
            const int firstRow = vertical.first[static_cast<std::size_t>(y0)];
            int lastRow = firstRow;
            for (int y = y0; y < y1; ++y) {
                const int f = vertical.first[static_cast<std::size_t>(y)];
                lastRow = std::max(lastRow, std::min(h - 1, f + vertical.count - 1));
            }
            const int rows = lastRow - firstRow + 1;
            band.resize(static_cast<std::size_t>(rows) * rowFloats);
            for (int r = 0; r < rows; ++r) {
                filterRow<C>(src + static_cast<std::size_t>(firstRow + r) * srcRow, w, horizontal, tw, wide.data(),
                             band.data() + static_cast<std::size_t>(r) * rowFloats);
            }
            std::vector<float> acc(rowFloats);
            for (int y = y0; y < y1; ++y) {
                const int f = vertical.first[static_cast<std::size_t>(y)];
                const float* weights = vertical.weights.data() +
                                       static_cast<std::size_t>(y) * static_cast<std::size_t>(vertical.count);
                const int available = std::min(vertical.count, h - f);
                std::fill(acc.begin(), acc.end(), 0.0f);
                for (int t = 0; t < available; ++t) {
                    const float weight = weights[t];
                    if (weight == 0.0f) {
                        continue;
                    }
                    const float* row = band.data() + static_cast<std::size_t>(f + t - firstRow) * rowFloats;
                    for (std::size_t i = 0; i < rowFloats; ++i) {
                        acc[i] += weight * row[i];
                    }
                }
                std::uint8_t* out = dst + static_cast<std::size_t>(y) * rowFloats;
                for (std::size_t i = 0; i < rowFloats; ++i) {
                    out[i] = toByte(acc[i]);
                }
            }
        }
    };

    if (workers == 1) {
        work();
        return;
    }
    // A worker that fails (out of memory, a stop) stops handing out blocks; its error is rethrown here.
    std::mutex failureLock;
    std::exception_ptr failure;
    auto guarded = [&] {
        try {
            work();
        } catch (...) {
            next.store(blocks);
            const std::lock_guard lock(failureLock);
            if (!failure) {
                failure = std::current_exception();
            }
        }
    };
    {
        std::vector<std::jthread> threads;
        threads.reserve(static_cast<std::size_t>(workers - 1));
        for (int i = 1; i < workers; ++i) {
            threads.emplace_back(guarded);
        }
        guarded();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace

std::vector<std::uint8_t> LanczosResampler::resample(const std::vector<std::uint8_t>& source, int width,
                                                     int height, int channels, int targetWidth,
                                                     int targetHeight, std::stop_token stop) {
    if (channels < 1 || channels > 4) {
        throw std::invalid_argument("Resampling takes 1 to 4 channels.");
    }
    if (width < 1 || height < 1 ||
        source.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                             static_cast<std::size_t>(channels)) {
        throw std::invalid_argument("Resampling needs a raster whose bytes match its size.");
    }
    if (targetWidth < 1 || targetHeight < 1) {
        throw std::invalid_argument("Resampled size must be at least 1 x 1 pixels.");
    }
    if (targetWidth > ImageLoader::maxSide || targetHeight > ImageLoader::maxSide ||
        std::int64_t{targetWidth} * targetHeight > ImageLoader::maxPixels) {
        throw std::length_error("Resampled size exceeds 16384 pixels per side or 2^28 pixels.");
    }
    if (targetWidth == width && targetHeight == height) {
        return source;
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(targetWidth) *
                                  static_cast<std::size_t>(targetHeight) * static_cast<std::size_t>(channels));
    switch (channels) {
        case 1: resampleImpl<1>(source.data(), width, height, out.data(), targetWidth, targetHeight, stop); break;
        case 2: resampleImpl<2>(source.data(), width, height, out.data(), targetWidth, targetHeight, stop); break;
        case 3: resampleImpl<3>(source.data(), width, height, out.data(), targetWidth, targetHeight, stop); break;
        default: resampleImpl<4>(source.data(), width, height, out.data(), targetWidth, targetHeight, stop); break;
    }
    return out;
}

PackedTexture LanczosResampler::resample(const PackedTexture& source, int width, int height,
                                         std::stop_token stop) {
    PackedTexture out;
    out.rgba = resample(source.rgba, source.width, source.height, 4, width, height, std::move(stop));
    out.width = width;
    out.height = height;
    return out;
}

}  // namespace morvale
