#include "av_engine/filler_remover.h"

#include "av_engine/unicode_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <utility>

namespace morvale {

namespace {

// Times come from the recogniser in hundredths and are compared after subtraction; equal-looking values
// must compare equal.
constexpr double kEpsilon = 1e-9;

bool endsWithAny(std::string_view text, std::string_view marks) {
    return !text.empty() && marks.find(text.back()) != std::string_view::npos;
}
bool endsSentence(std::string_view text) { return endsWithAny(text, ".?!"); }

struct Run {
    std::int64_t start;
    std::int64_t end;
    std::int64_t frames() const { return end - start; }
};

double steadiness(const std::vector<FillerRemover::SpeechFrame>& frames, std::int64_t a, std::int64_t b) {
    if (b - a < 4) return 0.0;
    float lowest = frames[static_cast<std::size_t>(a + 1)].brightnessDB;
    float highest = lowest;
    for (std::int64_t j = a + 1; j <= b - 2; ++j) {
        lowest = std::min(lowest, frames[static_cast<std::size_t>(j)].brightnessDB);
        highest = std::max(highest, frames[static_cast<std::size_t>(j)].brightnessDB);
    }
    if (highest - lowest > 9.0f) return 0.0;
    std::int64_t steady = 0;
    for (std::int64_t j = a + 1; j <= b - 3; ++j) {
        const auto& x = frames[static_cast<std::size_t>(j)];
        const auto& y = frames[static_cast<std::size_t>(j + 1)];
        if (std::fabs(x.levelDB - y.levelDB) < 3.0f && std::fabs(x.brightnessDB - y.brightnessDB) < 3.0f) ++steady;
    }
    return static_cast<double>(steady) / static_cast<double>(std::max<std::int64_t>(1, b - a - 3));
}

// Sorted ranges with any that start within 0.02 s of the previous end folded into it.
void appendMerging(std::vector<TimeRange>& cuts, TimeRange range) {
    if (!cuts.empty() && range.lower <= cuts.back().upper + 0.02 + kEpsilon) {
        cuts.back().upper = std::max(cuts.back().upper, range.upper);
    } else {
        cuts.push_back(range);
    }
}

double removedBefore(double time, const std::vector<TimeRange>& cuts) {
    double removed = 0.0;
    for (const TimeRange& cut : cuts) removed += std::max(0.0, std::min(time, cut.upper) - cut.lower);
    return removed;
}

}  // namespace

int FillerRemover::Plan::count() const {
    return std::accumulate(removed.begin(), removed.end(), 0, [](int sum, const auto& kind) { return sum + kind.second; });
}

double FillerRemover::Plan::secondsRemoved() const {
    double total = 0.0;
    for (const TimeRange& cut : cuts) total += cut.length();
    return total;
}

std::string FillerRemover::normalised(std::string_view text) {
    const std::string trimmed = unicode_text::trimmedOfPunctuationAndSpace(unicode_text::lowered(text));
    static constexpr std::string_view kRightQuote = "\xE2\x80\x99";
    std::string out;
    out.reserve(trimmed.size());
    for (std::size_t i = 0; i < trimmed.size();) {
        if (std::string_view(trimmed).substr(i, kRightQuote.size()) == kRightQuote) {
            out += '\'';
            i += kRightQuote.size();
        } else {
            out += trimmed[i++];
        }
    }
    return out;
}

bool FillerRemover::isFiller(std::string_view text) {
    // The pattern ^(u+h*m+|u+h+|a+h+|e+r+m*|h+m+|m{2,})$ over runs of equal letters.
    std::vector<std::pair<char, std::size_t>> runs;
    for (char c : text) {
        if (!runs.empty() && runs.back().first == c) {
            ++runs.back().second;
        } else {
            runs.emplace_back(c, 1);
        }
    }
    auto shape = [&](std::string_view letters) {
        if (runs.size() != letters.size()) return false;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            if (runs[i].first != letters[i]) return false;
        }
        return true;
    };
    return shape("uhm") || shape("um") || shape("uh") || shape("ah") || shape("er") || shape("erm") || shape("hm") ||
           (shape("m") && runs[0].second >= 2);
}

std::vector<TimeRange> FillerRemover::hiddenFillerCuts(const std::vector<CaptionWord>& words,
                                                       const std::vector<SpeechFrame>& frames) {
    std::vector<TimeRange> cuts;
    if (frames.size() < 51) return cuts;
    std::vector<float> voiced;
    for (const SpeechFrame& f : frames) {
        if (f.levelDB > -60.0f) voiced.push_back(f.levelDB);
    }
    if (voiced.empty()) return cuts;
    std::sort(voiced.begin(), voiced.end());
    const float gate = voiced[3 * voiced.size() / 4] - 20.0f;
    const auto frameCount = static_cast<std::int64_t>(frames.size());

    for (const CaptionWord& word : words) {
        if (!std::isfinite(word.start) || !std::isfinite(word.end)) continue;
        const std::string text = normalised(word.text);
        if (text.empty() || isFiller(text)) continue;
        const double expected = std::min(0.9, 0.11 + 0.075 * static_cast<double>(unicode_text::characterCount(text)));
        if (!(word.end - word.start - expected >= 0.2 - kEpsilon)) continue;

        const double first = std::clamp(std::trunc(word.start / frameSeconds + kEpsilon), 0.0, static_cast<double>(frameCount));
        const double last = std::clamp(std::ceil(word.end / frameSeconds - kEpsilon), 0.0, static_cast<double>(frameCount));
        const auto s0 = static_cast<std::int64_t>(first);
        const auto s1 = static_cast<std::int64_t>(last);
        if (s1 - s0 < 12) continue;

        std::vector<Run> runs;
        std::int64_t open = -1;
        for (std::int64_t k = s0; k <= s1; ++k) {
            const bool loud = k < s1 && frames[static_cast<std::size_t>(k)].levelDB > gate;
            if (loud && open < 0) open = k;
            if (!loud && open >= 0) {
                if (k - open >= 3) runs.push_back({open, k});
                open = -1;
            }
        }
        if (runs.size() < 2) continue;

        std::size_t candidate = runs.size();
        int candidates = 0;
        for (std::size_t r = 0; r < runs.size(); ++r) {
            const std::int64_t n = runs[r].frames();  // 0.16 s to 1.0 s is 8 to 50 frames
            if (n >= 8 && n <= 50 && steadiness(frames, runs[r].start, runs[r].end) >= 0.8) {
                candidate = r;
                ++candidates;
            }
        }
        if (candidates != 1) continue;
        bool otherSpeech = false;
        for (std::size_t r = 0; r < runs.size(); ++r) otherSpeech = otherSpeech || (r != candidate && runs[r].frames() >= 4);
        if (!otherSpeech) continue;

        const Run& c = runs[candidate];
        const std::int64_t p = candidate == 0 ? s0 : runs[candidate - 1].end;
        const std::int64_t q = candidate + 1 == runs.size() ? s1 : runs[candidate + 1].start;
        const double lower = std::max(word.start, static_cast<double>(p + (c.start - p) / 2) * frameSeconds);
        const double upper = std::min(word.end, static_cast<double>(c.end + (q - c.end) / 2) * frameSeconds);
        if (upper - lower >= 0.12 - kEpsilon) cuts.push_back({lower, upper});
    }
    return cuts;
}

FillerRemover::Plan FillerRemover::plan(const std::vector<CaptionWord>& words, bool removeRepeats,
                                        const std::vector<TimeRange>& hiddenFillers) {
    Plan result;
    const std::size_t n = words.size();
    std::vector<std::string> texts(n);
    for (std::size_t i = 0; i < n; ++i) texts[i] = normalised(words[i].text);

    std::vector<bool> marked(n, false);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& t = texts[i];
        if (isFiller(t)) {
            marked[i] = true;
            const bool hum = t[0] == 'u' || t[0] == 'a';
            ++result.removed[hum ? (t.find('m') != std::string::npos ? "um" : "uh") : t];
        } else if (removeRepeats && i + 1 < n && t == texts[i + 1] &&
                   std::find(stutterWords.begin(), stutterWords.end(), t) != stutterWords.end() &&
                   words[i + 1].start - words[i].end < 0.6 && !endsWithAny(words[i].text, ".?!,;:")) {
            marked[i] = true;
            ++result.removed["repeated words"];
        }
    }

    for (std::size_t i = 0; i < n; ++i) {
        if (!marked[i]) continue;
        const bool closeNext = i + 1 < n && words[i + 1].start - words[i].end < 0.35;
        const TimeRange cut{words[i].start, closeNext ? words[i + 1].start : words[i].end};
        if (!(cut.lower < cut.upper) || !std::isfinite(cut.lower) || !std::isfinite(cut.upper)) continue;
        appendMerging(result.cuts, cut);
    }

    if (!hiddenFillers.empty()) {
        result.removed["unspoken um/uh"] += static_cast<int>(hiddenFillers.size());
        std::vector<TimeRange> all = result.cuts;
        for (const TimeRange& r : hiddenFillers) {
            if (std::isfinite(r.lower) && std::isfinite(r.upper) && r.lower < r.upper) all.push_back(r);
        }
        std::stable_sort(all.begin(), all.end(), [](const TimeRange& a, const TimeRange& b) { return a.lower < b.lower; });
        result.cuts.clear();
        for (const TimeRange& r : all) appendMerging(result.cuts, r);
    }

    bool capitaliseNext = false;
    for (std::size_t i = 0; i < n; ++i) {
        const CaptionWord& word = words[i];
        if (marked[i]) {
            if (i == 0 || endsSentence(words[i - 1].text)) capitaliseNext = true;
            if (endsSentence(word.text) && !result.words.empty()) {
                std::string& last = result.words.back().text;
                if (endsWithAny(last, ",;:")) last.pop_back();
                if (!endsSentence(last)) last += word.text.back();
                capitaliseNext = true;
            }
            continue;
        }
        CaptionWord kept = word;
        if (capitaliseNext && !kept.text.empty()) {
            kept.text = unicode_text::capitalisedFirst(kept.text);
            capitaliseNext = false;
        }
        kept.start = word.start - removedBefore(word.start, result.cuts);
        kept.end = std::max(kept.start + 0.02, word.end - removedBefore(word.end, result.cuts));
        result.words.push_back(std::move(kept));
    }
    return result;
}

}  // namespace morvale
