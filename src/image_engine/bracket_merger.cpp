#include "image_engine/bracket_merger.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <exception>
#include <thread>

#include "base/ascii.h"
#include "base/cancellation.h"
#include "base/exif/exiv2_session.h"
#include "base/system_limits.h"
#include "image_engine/image_loader.h"

namespace morvale {

namespace fs = std::filesystem;

namespace {

const char* messageFor(MergeError::Kind kind) {
    switch (kind) {
        case MergeError::Kind::noImages: return "No photos to merge.";
        case MergeError::Kind::tooSmall: return "The photos are too small to merge.";
        case MergeError::Kind::tooLarge: return "The photos are too large to merge.";
        case MergeError::Kind::sizeMismatch: return "The bracketed photos aren't all the same size.";
        case MergeError::Kind::renderFailed: return "Could not render the merged photo.";
    }
    return "Could not render the merged photo.";
}

// -- Capture data ----------------------------------------------------------------------------------

struct Shot {
    fs::path url;
    std::optional<double> time;  // seconds since 1970
    std::optional<double> exposureValue;
    double exposureTime = 0.0;
    int width = 0;
    int height = 0;
};

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

std::optional<double> numeric(const Exiv2::ExifData& exif, const char* key) {
    const auto found = exif.findKey(Exiv2::ExifKey(key));
    if (found == exif.end() || found->count() == 0) {
        return std::nullopt;
    }
    switch (found->typeId()) {
        case Exiv2::unsignedRational:
        case Exiv2::signedRational: {
            const Exiv2::Rational r = found->toRational(0);
            return static_cast<double>(r.first) / static_cast<double>(r.second);
        }
        case Exiv2::unsignedByte:
        case Exiv2::unsignedShort:
        case Exiv2::unsignedLong:
        case Exiv2::signedByte:
        case Exiv2::signedShort:
        case Exiv2::signedLong:
        case Exiv2::tiffFloat:
        case Exiv2::tiffDouble: return static_cast<double>(found->toFloat(0));
        default: return std::nullopt;
    }
}

std::optional<std::string> text(const Exiv2::ExifData& exif, const char* key) {
    const auto found = exif.findKey(Exiv2::ExifKey(key));
    if (found == exif.end() || found->typeId() != Exiv2::asciiString) {
        return std::nullopt;
    }
    return trimmed(found->toString());
}

// "yyyy:MM:dd HH:mm:ss" in local time; fields out of range (a zeroed "0000:00:00 00:00:00") give
// no time.
std::optional<double> captureTime(const std::string& value) {
    if (value.size() != 19) {
        return std::nullopt;
    }
    int fields[6] = {};
    const int starts[6] = {0, 5, 8, 11, 14, 17};
    const int lengths[6] = {4, 2, 2, 2, 2, 2};
    const char separators[5] = {':', ':', ' ', ':', ':'};
    for (int i = 0; i < 6; ++i) {
        const char* begin = value.data() + starts[i];
        const char* end = begin + lengths[i];
        if (!std::all_of(begin, end, [](char c) { return ascii::isDigit(c); }) ||
            std::from_chars(begin, end, fields[i]).ptr != end) {
            return std::nullopt;
        }
        if (i < 5 && value[static_cast<std::size_t>(starts[i] + lengths[i])] != separators[i]) {
            return std::nullopt;
        }
    }
    const int year = fields[0], month = fields[1], day = fields[2];
    static constexpr int days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > days[month - 1] ||
        (month == 2 && day == 29 && !leap) || fields[3] > 23 || fields[4] > 59 || fields[5] > 59) {
        return std::nullopt;
    }
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = fields[3];
    tm.tm_min = fields[4];
    tm.tm_sec = fields[5];
    tm.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&tm);
    if (seconds == static_cast<std::time_t>(-1) && !(year == 1969 && month == 12 && day == 31)) {
        return std::nullopt;
    }
    return static_cast<double>(seconds);
}

std::optional<Shot> readShot(const fs::path& file) {
    Shot shot;
    shot.url = file;
    try {
        const PixelSize size = ImageLoader::readSize(file);
        shot.width = size.width;
        shot.height = size.height;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    exiv2_session::ensureInitialized();
    try {
        auto image = Exiv2::ImageFactory::open(file.string());
        if (image.get() == nullptr) {
            return shot;
        }
        image->readMetadata();
        const Exiv2::ExifData& exif = image->exifData();
        if (const auto date = text(exif, "Exif.Photo.DateTimeOriginal")) {
            shot.time = captureTime(*date);
            const auto subsec = text(exif, "Exif.Photo.SubSecTimeOriginal");
            if (shot.time && subsec && !subsec->empty()) {
                const std::string fraction = "0." + *subsec;
                double value = 0.0;
                const auto [end, error] = std::from_chars(fraction.data(), fraction.data() + fraction.size(), value);
                if (error == std::errc() && end == fraction.data() + fraction.size()) {
                    *shot.time += value;
                }
            }
        }
        const auto t = numeric(exif, "Exif.Photo.ExposureTime");
        if (t && std::isfinite(*t)) {
            shot.exposureTime = *t;
            if (*t > 0.0) {
                // Missing, zero or unreadable aperture and sensitivity take the usual defaults.
                auto f = numeric(exif, "Exif.Photo.FNumber");
                if (!f || !std::isfinite(*f) || *f <= 0.0) f = 8.0;
                auto iso = numeric(exif, "Exif.Photo.ISOSpeedRatings");
                if (!iso || !std::isfinite(*iso) || *iso <= 0.0) iso = 100.0;
                const double ev = std::log2(*f * *f / *t) - std::log2(*iso / 100.0);
                if (std::isfinite(ev)) {
                    shot.exposureValue = ev;
                }
            }
        }
    } catch (const Exiv2::AnyError&) {
        // No readable capture data: the photo is never bracketed.
    } catch (const std::exception&) {
    }
    return shot;
}

std::vector<std::vector<fs::path>> group(std::vector<Shot> shots) {
    std::erase_if(shots, [](const Shot& s) { return !s.time || !s.exposureValue; });
    std::stable_sort(shots.begin(), shots.end(), [](const Shot& a, const Shot& b) {
        if (*a.time != *b.time) return *a.time < *b.time;
        return a.url.filename().string() < b.url.filename().string();
    });
    std::vector<std::vector<fs::path>> brackets;
    std::vector<const Shot*> current;
    auto close = [&] {
        if (current.size() >= 2) {
            const auto [lo, hi] = std::minmax_element(current.begin(), current.end(), [](const Shot* a, const Shot* b) {
                return *a->exposureValue < *b->exposureValue;
            });
            if (*(*hi)->exposureValue - *(*lo)->exposureValue >= 0.9) {
                std::vector<fs::path> urls;
                for (const Shot* s : current) urls.push_back(s->url);
                brackets.push_back(std::move(urls));
            }
        }
        current.clear();
    };
    for (const Shot& s : shots) {
        if (!current.empty()) {
            const Shot& last = *current.back();
            const bool repeated = std::any_of(current.begin(), current.end(), [&](const Shot* c) {
                return std::abs(*c->exposureValue - *s.exposureValue) < 0.3;
            });
            if (repeated || *s.time - *last.time > last.exposureTime + 3.0 || s.width != last.width ||
                s.height != last.height || current.size() >= 9) {
                close();
            }
        }
        current.push_back(&s);
    }
    close();
    return brackets;
}

// -- Parallel rows ---------------------------------------------------------------------------------

int availableCores() { return allowedProcessorCount(); }

// Runs a body over bands of rows on every core the process may use, checking the stop token
// between bands; a worker's failure is rethrown to the caller.
class Workers {
public:
    explicit Workers(std::stop_token stop) : stop_(std::move(stop)), count_(availableCores()) {}

    template <typename Body>
    void rows(int total, std::size_t rowCost, Body&& body) const {
        constexpr std::size_t kBandCost = 1 << 18;
        const int grain = static_cast<int>(std::max<std::size_t>(1, kBandCost / std::max<std::size_t>(1, rowCost)));
        const int bands = (total + grain - 1) / grain;
        std::atomic<int> next{0};
        std::exception_ptr failure;
        std::mutex failureLock;
        auto work = [&] {
            try {
                for (int band = next.fetch_add(1); band < bands; band = next.fetch_add(1)) {
                    throwIfStopRequested(stop_);
                    body(band * grain, std::min(total, (band + 1) * grain));
                }
            } catch (...) {
                next.store(bands);
                const std::lock_guard lock(failureLock);
                if (!failure) failure = std::current_exception();
            }
        };
        const int workers = std::min(count_, bands);
        if (workers <= 1) {
            work();
        } else {
            std::vector<std::jthread> threads;
            threads.reserve(static_cast<std::size_t>(workers - 1));
            for (int i = 1; i < workers; ++i) threads.emplace_back(work);
            work();
        }
        if (failure) std::rethrow_exception(failure);
    }

    const std::stop_token& stop() const { return stop_; }

private:
    std::stop_token stop_;
    int count_;
};

// -- Pyramid planes --------------------------------------------------------------------------------

struct Plane {
    int width = 0;
    int height = 0;
    std::vector<float> values;

    Plane() = default;
    Plane(int w, int h) : width(w), height(h), values(static_cast<std::size_t>(w) * static_cast<std::size_t>(h)) {}
    float* row(int y) { return values.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width); }
    const float* row(int y) const { return values.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width); }
};

int clampIndex(int i, int n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

// 1-4-6-4-1 / 16 and keep every second sample, edges repeated.
void reduceRow(const float* s, int w, float* out, int outWidth) {
    for (int j = 0; j < outWidth; ++j) {
        const int c = 2 * j;
        if (c >= 2 && c + 2 < w) {
            out[j] = (s[c - 2] + 4.0f * s[c - 1] + 6.0f * s[c] + 4.0f * s[c + 1] + s[c + 2]) * (1.0f / 16.0f);
        } else {
            out[j] = (s[clampIndex(c - 2, w)] + 4.0f * s[clampIndex(c - 1, w)] + 6.0f * s[clampIndex(c, w)] +
                      4.0f * s[clampIndex(c + 1, w)] + s[clampIndex(c + 2, w)]) *
                     (1.0f / 16.0f);
        }
    }
}

Plane reduce(const Plane& source, const Workers& workers) {
    Plane out((source.width + 1) / 2, (source.height + 1) / 2);
    const auto outWidth = static_cast<std::size_t>(out.width);
    workers.rows(out.height, static_cast<std::size_t>(source.width) * 2, [&](int i0, int i1) {
        const int r0 = 2 * i0 - 2;
        const int r1 = 2 * (i1 - 1) + 2;
        std::vector<float> band(static_cast<std::size_t>(r1 - r0 + 1) * outWidth);
        for (int r = r0; r <= r1; ++r) {
            reduceRow(source.row(clampIndex(r, source.height)), source.width,
                      band.data() + static_cast<std::size_t>(r - r0) * outWidth, out.width);
        }
        for (int i = i0; i < i1; ++i) {
            const float* a = band.data() + static_cast<std::size_t>(2 * i - 2 - r0) * outWidth;
            const float* b = a + outWidth;
            const float* c = b + outWidth;
            const float* d = c + outWidth;
            const float* e = d + outWidth;
            float* o = out.row(i);
            for (std::size_t j = 0; j < outWidth; ++j) {
                o[j] = (a[j] + 4.0f * b[j] + 6.0f * c[j] + 4.0f * d[j] + e[j]) * (1.0f / 16.0f);
            }
        }
    });
    return out;
}

// (1-6-1) / 8 at even samples and (1-1) / 2 between them, edges repeated.
void widenRow(const float* s, int sw, float* out, int w) {
    for (int x = 0; x < w; ++x) {
        const int i = x / 2;
        if ((x & 1) == 0) {
            out[x] = (s[clampIndex(i - 1, sw)] + 6.0f * s[clampIndex(i, sw)] + s[clampIndex(i + 1, sw)]) * 0.125f;
        } else {
            out[x] = (s[clampIndex(i, sw)] + s[clampIndex(i + 1, sw)]) * 0.5f;
        }
    }
}

// The source expanded to w x h, handed over one row at a time to `consume(y, row)`.
template <typename Consume>
void expandRows(const Plane& source, int w, int h, const Workers& workers, Consume&& consume) {
    const auto width = static_cast<std::size_t>(w);
    workers.rows(h, width * 3, [&](int y0, int y1) {
        const int j0 = y0 / 2 - 1;
        const int j1 = (y1 - 1) / 2 + 1;
        std::vector<float> band(static_cast<std::size_t>(j1 - j0 + 1) * width);
        for (int j = j0; j <= j1; ++j) {
            widenRow(source.row(clampIndex(j, source.height)), source.width,
                     band.data() + static_cast<std::size_t>(j - j0) * width, w);
        }
        std::vector<float> row(width);
        for (int y = y0; y < y1; ++y) {
            const int j = y / 2;
            const float* mid = band.data() + static_cast<std::size_t>(j - j0) * width;
            if ((y & 1) == 0) {
                const float* up = mid - width;
                const float* down = mid + width;
                for (std::size_t x = 0; x < width; ++x) row[x] = (up[x] + 6.0f * mid[x] + down[x]) * 0.125f;
            } else {
                const float* down = mid + width;
                for (std::size_t x = 0; x < width; ++x) row[x] = (mid[x] + down[x]) * 0.5f;
            }
            consume(y, row.data());
        }
    });
}

void addInto(Plane& sum, const Plane& add, const Workers& workers) {
    workers.rows(sum.height, static_cast<std::size_t>(sum.width), [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            float* s = sum.row(y);
            const float* a = add.row(y);
            for (int x = 0; x < sum.width; ++x) s[x] += a[x];
        }
    });
}

// -- Fusion ----------------------------------------------------------------------------------------

constexpr std::int64_t kMaxPixels = 100'000'000;
// Below this the grey plane for alignment is kept at full size; above, at half size (a quarter
// of the work, within half a pixel).
constexpr int kHalfSizeAlignment = 512;

void shiftInPlace(PackedTexture& image, int sx, int sy) {
    const auto rowBytes = static_cast<std::size_t>(image.width) * 4;
    std::uint8_t* data = image.rgba.data();
    const int h = image.height;
    const int w = image.width;
    if (sy > 0) {
        std::memmove(data + static_cast<std::size_t>(sy) * rowBytes, data, static_cast<std::size_t>(h - sy) * rowBytes);
        for (int y = 0; y < sy; ++y) std::memcpy(data + static_cast<std::size_t>(y) * rowBytes, data + static_cast<std::size_t>(sy) * rowBytes, rowBytes);
    } else if (sy < 0) {
        const int up = -sy;
        std::memmove(data, data + static_cast<std::size_t>(up) * rowBytes, static_cast<std::size_t>(h - up) * rowBytes);
        for (int y = h - up; y < h; ++y) std::memcpy(data + static_cast<std::size_t>(y) * rowBytes, data + static_cast<std::size_t>(h - up - 1) * rowBytes, rowBytes);
    }
    if (sx == 0) return;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = data + static_cast<std::size_t>(y) * rowBytes;
        if (sx > 0) {
            std::memmove(row + static_cast<std::size_t>(sx) * 4, row, static_cast<std::size_t>(w - sx) * 4);
            for (int x = 0; x < sx; ++x) std::memcpy(row + static_cast<std::size_t>(x) * 4, row + static_cast<std::size_t>(sx) * 4, 4);
        } else {
            const int left = -sx;
            std::memmove(row, row + static_cast<std::size_t>(left) * 4, static_cast<std::size_t>(w - left) * 4);
            for (int x = w - left; x < w; ++x) std::memcpy(row + static_cast<std::size_t>(x) * 4, row + static_cast<std::size_t>(w - left - 1) * 4, 4);
        }
    }
}

class Fusion {
public:
    Fusion(int width, int height, const Workers& workers) : width_(width), height_(height), workers_(workers) {
        levels_ = BracketMerger::levelCount(width, height);
        int w = width, h = height;
        for (int k = 0; k < levels_; ++k) {
            weightSums_.emplace_back(w, h);
            for (auto& channel : sums_) channel.emplace_back(w, h);
            w = (w + 1) / 2;
            h = (h + 1) / 2;
        }
        for (int i = 0; i < 256; ++i) {
            const double d = i / 255.0 - 0.5;
            exposedness_[static_cast<std::size_t>(i)] = static_cast<float>(std::exp(-d * d / 0.08));
        }
    }

    // The grey plane registration compares shots by: mean of the channels, at half size for large
    // photos.
    cv::Mat greyForAlignment(const PackedTexture& image) const {
        const int step = std::min(width_, height_) < kHalfSizeAlignment ? 1 : 2;
        const int gw = width_ / step;
        const int gh = height_ / step;
        cv::Mat grey(gh, gw, CV_32F);
        const float scale = 1.0f / (3.0f * 255.0f * static_cast<float>(step * step));
        workers_.rows(gh, static_cast<std::size_t>(width_) * static_cast<std::size_t>(step), [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                float* out = grey.ptr<float>(y);
                for (int x = 0; x < gw; ++x) {
                    int sum = 0;
                    for (int dy = 0; dy < step; ++dy) {
                        const std::uint8_t* p = image.rgba.data() + (static_cast<std::size_t>(y * step + dy) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x * step)) * 4;
                        for (int dx = 0; dx < step; ++dx, p += 4) sum += p[0] + p[1] + p[2];
                    }
                    out[x] = static_cast<float>(sum) * scale;
                }
            }
        });
        return grey;
    }

    void setReference(const PackedTexture& image) {
        reference_ = greyForAlignment(image);
        cv::createHanningWindow(window_, reference_.size(), CV_32F);
    }

    // The whole-pixel move (rows downwards) that lines the shot up with the reference, if any.
    std::optional<std::pair<int, int>> alignment(const PackedTexture& image) const {
        const cv::Mat grey = greyForAlignment(image);
        const cv::Point2d shift = cv::phaseCorrelate(reference_, grey, window_);
        const double step = reference_.cols == width_ ? 1.0 : 2.0;
        const double dx = shift.x * step;
        const double dy = shift.y * step;
        if (!std::isfinite(dx) || !std::isfinite(dy)) {
            return std::nullopt;
        }
        // Registration's translation has y upwards: (-dx, +dy); the shot moves by (-dx, -dy).
        const auto accepted = BracketMerger::acceptedAlignment(-dx, dy, width_, height_);
        if (!accepted) {
            return std::nullopt;
        }
        return std::pair{accepted->x, -accepted->y};
    }

    void add(const PackedTexture& image) {
        std::vector<Plane> weights;
        weights.push_back(weightPlane(image));
        for (int k = 1; k < levels_; ++k) {
            weights.push_back(reduce(weights.back(), workers_));
        }
        for (int k = 0; k < levels_; ++k) {
            addInto(weightSums_[static_cast<std::size_t>(k)], weights[static_cast<std::size_t>(k)], workers_);
        }
        for (int c = 0; c < 3; ++c) {
            std::vector<Plane>& sums = sums_[static_cast<std::size_t>(c)];
            Plane current = channelPlane(image, c);
            for (int k = 0; k + 1 < levels_; ++k) {
                Plane next = reduce(current, workers_);
                Plane& sum = sums[static_cast<std::size_t>(k)];
                const Plane& weight = weights[static_cast<std::size_t>(k)];
                expandRows(next, current.width, current.height, workers_, [&](int y, const float* expanded) {
                    float* s = sum.row(y);
                    const float* cur = current.row(y);
                    const float* w = weight.row(y);
                    for (int x = 0; x < current.width; ++x) s[x] += (cur[x] - expanded[x]) * w[x];
                });
                current = std::move(next);
            }
            Plane& last = sums.back();
            const Plane& weight = weights.back();
            workers_.rows(last.height, static_cast<std::size_t>(last.width), [&](int y0, int y1) {
                for (int y = y0; y < y1; ++y) {
                    float* s = last.row(y);
                    const float* cur = current.row(y);
                    const float* w = weight.row(y);
                    for (int x = 0; x < last.width; ++x) s[x] += cur[x] * w[x];
                }
            });
        }
    }

    PackedTexture collapse() {
        PackedTexture out;
        out.width = width_;
        out.height = height_;
        out.rgba.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 4, 255);
        auto writeRow = [&](int c, int y, const float* values) {
            std::uint8_t* p = out.rgba.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) * 4 + static_cast<std::size_t>(c);
            for (int x = 0; x < width_; ++x, p += 4) {
                *p = static_cast<std::uint8_t>(std::clamp(values[x] * 255.0f + 0.5f, 0.0f, 255.0f));
            }
        };
        for (int c = 0; c < 3; ++c) {
            std::vector<Plane>& sums = sums_[static_cast<std::size_t>(c)];
            Plane result = std::move(sums.back());
            normalise(result, weightSums_.back());
            if (levels_ == 1) {
                for (int y = 0; y < height_; ++y) writeRow(c, y, result.row(y));
            }
            for (int k = levels_ - 2; k >= 0; --k) {
                Plane& sum = sums[static_cast<std::size_t>(k)];
                const Plane& weight = weightSums_[static_cast<std::size_t>(k)];
                expandRows(result, sum.width, sum.height, workers_, [&](int y, const float* expanded) {
                    float* s = sum.row(y);
                    const float* w = weight.row(y);
                    for (int x = 0; x < sum.width; ++x) s[x] = s[x] / std::max(w[x], 1e-12f) + expanded[x];
                    if (k == 0) writeRow(c, y, s);
                });
                result = std::move(sum);
            }
            sums.clear();
            sums.shrink_to_fit();
        }
        return out;
    }

private:
    void normalise(Plane& plane, const Plane& weight) const {
        workers_.rows(plane.height, static_cast<std::size_t>(plane.width), [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                float* p = plane.row(y);
                const float* w = weight.row(y);
                for (int x = 0; x < plane.width; ++x) p[x] /= std::max(w[x], 1e-12f);
            }
        });
    }

    Plane channelPlane(const PackedTexture& image, int channel) const {
        Plane plane(width_, height_);
        workers_.rows(height_, static_cast<std::size_t>(width_), [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                const std::uint8_t* p = image.rgba.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) * 4 + static_cast<std::size_t>(channel);
                float* out = plane.row(y);
                for (int x = 0; x < width_; ++x, p += 4) out[x] = static_cast<float>(*p) * (1.0f / 255.0f);
            }
        });
        return plane;
    }

    // Contrast (a 4-neighbour Laplacian of the grey, edges repeated) times saturation times
    // well-exposedness.
    Plane weightPlane(const PackedTexture& image) const {
        Plane plane(width_, height_);
        const auto w = static_cast<std::size_t>(width_);
        auto greyRow = [&](int y, float* out) {
            const std::uint8_t* p = image.rgba.data() + static_cast<std::size_t>(clampIndex(y, height_)) * w * 4;
            for (std::size_t x = 0; x < w; ++x, p += 4) {
                out[x] = static_cast<float>(p[0] + p[1] + p[2]) * (1.0f / (3.0f * 255.0f));
            }
        };
        workers_.rows(height_, w * 3, [&](int y0, int y1) {
            std::vector<float> rows(w * 3);
            float* above = rows.data();
            float* here = above + w;
            float* below = here + w;
            greyRow(y0 - 1, above);
            greyRow(y0, here);
            for (int y = y0; y < y1; ++y) {
                greyRow(y + 1, below);
                const std::uint8_t* p = image.rgba.data() + static_cast<std::size_t>(y) * w * 4;
                float* out = plane.row(y);
                for (std::size_t x = 0; x < w; ++x, p += 4) {
                    const float r = p[0] * (1.0f / 255.0f);
                    const float g = p[1] * (1.0f / 255.0f);
                    const float b = p[2] * (1.0f / 255.0f);
                    const float grey = here[x];
                    const float saturation =
                        std::sqrt(((r - grey) * (r - grey) + (g - grey) * (g - grey) + (b - grey) * (b - grey)) / 3.0f);
                    const float exposed = exposedness_[p[0]] * exposedness_[p[1]] * exposedness_[p[2]];
                    const float left = here[x == 0 ? 0 : x - 1];
                    const float right = here[x + 1 == w ? x : x + 1];
                    const float lap = above[x] + below[x] + left + right - 4.0f * grey;
                    out[x] = (std::abs(lap) + 0.01f) * exposed * (saturation + 0.02f) + 1e-6f;
                }
                std::swap(above, here);
                std::swap(here, below);
            }
        });
        return plane;
    }

    int width_;
    int height_;
    const Workers& workers_;
    int levels_ = 1;
    std::array<std::vector<Plane>, 3> sums_;
    std::vector<Plane> weightSums_;
    std::array<float, 256> exposedness_{};
    cv::Mat reference_;
    cv::Mat window_;
};

}  // namespace

MergeError::MergeError(Kind kind) : std::runtime_error(messageFor(kind)), kind_(kind) {}

std::optional<BracketMerger::FolderCache::Entry> BracketMerger::FolderCache::find(const std::string& key) const {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end()) return std::nullopt;
    return found->second;
}

void BracketMerger::FolderCache::store(const std::string& key, Entry entry) {
    const std::lock_guard lock(mutex_);
    entries_[key] = std::move(entry);
}

std::vector<fs::path> BracketMerger::brackets(const fs::path& photo, const std::set<std::string>& extensions,
                                              FolderCache& cache) {
    const fs::path folder = photo.has_parent_path() ? photo.parent_path() : fs::path(".");
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::string extension = it->path().extension().string();
        if (extension.size() < 2) continue;
        extension = ascii::lowered(extension.substr(1));
        if (extensions.count(extension) != 0) names.push_back(name);
    }
    if (error) names.clear();
    std::sort(names.begin(), names.end());

    // A file replaced by another of the same name and time still differs in size or inode.
    std::string stamp;
    for (const std::string& name : names) {
        struct stat info {};
        if (::stat((folder / name).c_str(), &info) != 0) {
            info = {};
        }
        stamp += name;
        stamp += '/';
        stamp += std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + "/" +
                 std::to_string(info.st_size) + "/" + std::to_string(info.st_ino);
        stamp += '\0';
    }
    std::string key = folder.lexically_normal().string();
    key += '\0';
    for (const std::string& extension : extensions) {
        key += extension;
        key += '/';
    }

    std::vector<std::vector<fs::path>> groups;
    if (auto entry = cache.find(key); entry && entry->stamp == stamp) {
        groups = std::move(entry->groups);
    } else {
        std::vector<Shot> shots;
        for (const std::string& name : names) {
            if (auto shot = readShot(folder / name)) shots.push_back(std::move(*shot));
        }
        groups = group(std::move(shots));
        cache.store(key, {stamp, groups});
    }
    const fs::path wanted = photo.lexically_normal();
    for (const auto& bracket : groups) {
        for (const fs::path& url : bracket) {
            if (url.lexically_normal() == wanted) return bracket;
        }
    }
    return {photo};
}

std::optional<BracketMerger::Shift> BracketMerger::acceptedAlignment(double tx, double ty, int width, int height) {
    const double limit = 0.03 * std::max(width, height);
    if (!std::isfinite(tx) || !std::isfinite(ty) || std::abs(tx) > limit || std::abs(ty) > limit ||
        (std::abs(tx) < 0.5 && std::abs(ty) < 0.5)) {
        return std::nullopt;
    }
    return Shift{static_cast<int>(std::round(tx)), static_cast<int>(std::round(ty))};
}

int BracketMerger::levelCount(int width, int height) {
    const int shorter = std::max(1, std::min(width, height));
    const int log2 = static_cast<int>(std::bit_width(static_cast<unsigned>(shorter))) - 1;
    return std::clamp(log2 - 2, 1, 10);
}

PipelineImage BracketMerger::fuse(std::size_t count, const ShotLoader& load, bool align, std::stop_token stop) const {
    if (count == 0) {
        throw MergeError(MergeError::Kind::noImages);
    }
    const Workers workers(stop);
    std::optional<Fusion> fusion;
    int width = 0;
    int height = 0;
    for (std::size_t n = 0; n < count; ++n) {
        throwIfStopRequested(stop);
        PackedTexture shot = load(n);
        if (n == 0) {
            width = shot.width;
            height = shot.height;
            if (width < 16 || height < 16) throw MergeError(MergeError::Kind::tooSmall);
            if (std::int64_t{width} * height > kMaxPixels) throw MergeError(MergeError::Kind::tooLarge);
        }
        if (!shot.isValid()) {
            throw MergeError(MergeError::Kind::renderFailed);
        }
        if (n == 0) {
            fusion.emplace(width, height, workers);
            if (align && count > 1) fusion->setReference(shot);
        } else {
            if (shot.width != width || shot.height != height) throw MergeError(MergeError::Kind::sizeMismatch);
            if (align) {
                if (const auto move = fusion->alignment(shot)) shiftInPlace(shot, move->first, move->second);
            }
        }
        throwIfStopRequested(stop);
        fusion->add(shot);
    }
    PipelineImage out;
    out.pixels = fusion->collapse();
    return out;
}

PipelineImage BracketMerger::fuse(const std::vector<PipelineImage>& images, bool align, std::stop_token stop) const {
    if (images.empty()) {
        throw MergeError(MergeError::Kind::noImages);
    }
    const int width = images.front().width();
    const int height = images.front().height();
    if (width < 16 || height < 16) throw MergeError(MergeError::Kind::tooSmall);
    for (const PipelineImage& image : images) {
        if (image.width() != width || image.height() != height) throw MergeError(MergeError::Kind::sizeMismatch);
    }
    return fuse(images.size(), [&](std::size_t n) { return images[n].pixels; }, align, std::move(stop));
}

}  // namespace morvale
