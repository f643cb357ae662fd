#include "av_engine/clip_picker.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string_view>

namespace morvale {

namespace {

bool endsWithAny(std::string_view text, std::string_view marks) {
    return !text.empty() && marks.find(text.back()) != std::string_view::npos;
}

}  // namespace

double ClipPicker::liveliestStart(const std::vector<CaptionWord>& words, double duration, double length) {
    if (!(duration > length + 1.0) || !std::isfinite(duration) || !std::isfinite(length)) return 0.0;
    if (words.size() <= 8) return 0.0;

    // Prefix counts of questions and exclamations, so each window's bonus is one subtraction.
    std::vector<int> lively(words.size() + 1, 0);
    for (std::size_t i = 0; i < words.size(); ++i) lively[i + 1] = lively[i] + (endsWithAny(words[i].text, "?!") ? 1 : 0);

    double bestScore = -1.0;
    double bestStart = 0.0;
    std::size_t first = 0;
    std::size_t last = 0;
    auto consider = [&](double m) {
        if (!(m + length <= duration)) return;
        while (first < words.size() && words[first].start < m) ++first;
        last = std::max(last, first);
        while (last < words.size() && words[last].end <= m + length) ++last;
        const double score = static_cast<double>(last - first) + 2.0 * (lively[last] - lively[first]);
        if (score > bestScore + 0.5) {
            bestScore = score;
            bestStart = m;
        }
    };
    consider(words.front().start);
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (endsWithAny(words[i - 1].text, ".?!")) consider(words[i].start);
    }
    return std::max(0.0, bestStart - 0.25);
}

double ClipPicker::loudestStart(const std::vector<float>& levels, double step, double length) {
    if (!std::isfinite(step) || !std::isfinite(length) || !(step > 0.0) || !(length > 0.0)) return 0.0;
    const double span = std::trunc(length / step);
    if (!(span >= 1.0) || span >= static_cast<double>(levels.size())) return 0.0;
    const auto window = static_cast<std::size_t>(span);

    float sum = 0.0f;
    for (std::size_t i = 0; i < window; ++i) sum += levels[i];
    float best = sum;
    std::size_t bestIndex = 0;
    for (std::size_t k = 1; k + window <= levels.size(); ++k) {
        sum += levels[k + window - 1];
        sum -= levels[k - 1];
        if (sum > best + 0.000001f) {
            best = sum;
            bestIndex = k;
        }
    }
    return static_cast<double>(bestIndex) * step;
}

}  // namespace morvale
