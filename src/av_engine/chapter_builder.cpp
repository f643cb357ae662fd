#include "av_engine/chapter_builder.h"

#include "base/json_quote.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace morvale {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isWhite(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// Strips white space and the three dash characters (hyphen, en dash, em dash) from both ends.
std::string_view trimTitle(std::string_view s) {
    static const std::array<std::string_view, 3> dashes{"-", "\xE2\x80\x93", "\xE2\x80\x94"};
    bool changed = true;
    while (changed && !s.empty()) {
        changed = false;
        if (isWhite(s.front())) {
            s.remove_prefix(1);
            changed = true;
            continue;
        }
        for (std::string_view d : dashes) {
            if (s.starts_with(d)) {
                s.remove_prefix(d.size());
                changed = true;
                break;
            }
        }
    }
    changed = true;
    while (changed && !s.empty()) {
        changed = false;
        if (isWhite(s.back())) {
            s.remove_suffix(1);
            changed = true;
            continue;
        }
        for (std::string_view d : dashes) {
            if (s.ends_with(d)) {
                s.remove_suffix(d.size());
                changed = true;
                break;
            }
        }
    }
    return s;
}

// The whole piece must be one decimal floating-point number (sign and exponent allowed).
std::optional<double> readNumber(std::string_view piece) {
    if (piece.empty()) return std::nullopt;
    std::string_view digits = piece;
    if (digits.front() == '+') {
        digits.remove_prefix(1);
        if (digits.empty() || digits.front() == '-' || digits.front() == '+') return std::nullopt;
    }
    double value = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

// Whole seconds as a 64-bit integer without undefined conversions: NaN and negatives give 0,
// values beyond the integer range are held at its end.
std::int64_t wholeSeconds(double seconds) {
    if (!(seconds > 0)) return 0;
    if (seconds >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(std::floor(seconds));
}

// Milliseconds truncated toward zero, guarded the same way (no negative times occur after tidy).
long long truncatedMillis(double seconds) {
    const double ms = seconds * 1000.0;
    if (std::isnan(ms)) return 0;
    if (ms >= 9.2e18) return std::numeric_limits<long long>::max();
    if (ms <= -9.2e18) return std::numeric_limits<long long>::min();
    return static_cast<long long>(std::trunc(ms));
}

bool endsSentence(std::string_view text) {
    return !text.empty() && (text.back() == '.' || text.back() == '?' || text.back() == '!');
}

std::string shortestNumber(double value) {
    char buf[64];
    auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc()) throw std::invalid_argument("Chapter start cannot be written");
    return std::string(buf, ptr);
}

}  // namespace

std::optional<double> ChapterBuilder::seconds(std::string_view text) {
    std::array<double, 3> parts{};
    std::size_t count = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t colon = text.find(':', pos);
        if (colon == std::string_view::npos) colon = text.size();
        std::string_view piece = text.substr(pos, colon - pos);
        pos = colon + 1;
        if (piece.empty()) continue;
        if (count == parts.size()) return std::nullopt;
        auto value = readNumber(piece);
        if (!value) return std::nullopt;
        parts[count++] = *value;
    }
    if (count == 0) return std::nullopt;
    double total = 0;
    for (std::size_t i = 0; i < count; ++i) total = total * 60 + parts[i];
    if (!std::isfinite(total)) return std::nullopt;
    return total;
}

std::string ChapterBuilder::clock(double secondsValue, bool alwaysHours) {
    const std::int64_t t = wholeSeconds(secondsValue);
    char buf[64];
    if (t < 3600 && !alwaysHours) {
        std::snprintf(buf, sizeof buf, "%02lld:%02lld", static_cast<long long>(t / 60),
                      static_cast<long long>(t % 60));
    } else {
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(t / 3600),
                      static_cast<long long>((t % 3600) / 60), static_cast<long long>(t % 60));
    }
    return buf;
}

std::vector<Chapter> ChapterBuilder::parse(std::string_view text) {
    if (text.size() > maxListBytes) text = text.substr(0, maxListBytes);
    std::vector<Chapter> chapters;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\n\r;", pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view entry = trimBlanks(text.substr(pos, end - pos));
        pos = end + 1;
        if (entry.empty()) continue;
        const std::size_t gap = entry.find_first_of(" \t");
        if (gap == std::string_view::npos) continue;
        auto start = seconds(entry.substr(0, gap));
        if (!start) continue;
        std::string_view title = trimTitle(entry.substr(gap + 1));
        if (title.empty()) continue;
        chapters.push_back(Chapter{*start, std::string(title)});
    }
    std::stable_sort(chapters.begin(), chapters.end(),
                     [](const Chapter& a, const Chapter& b) { return a.start < b.start; });
    return chapters;
}

std::vector<Chapter> ChapterBuilder::tidy(std::vector<Chapter> chapters, double duration) {
    std::vector<Chapter> kept;
    kept.reserve(chapters.size());
    for (auto& c : chapters) {
        // Written as a positive test so NaN starts and durations drop out too.
        if (c.start >= 0 && c.start < duration - 1) kept.push_back(std::move(c));
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Chapter& a, const Chapter& b) { return a.start < b.start; });
    if (kept.empty()) return kept;
    if (kept.front().start > 1) {
        kept.insert(kept.begin(), Chapter{0, "Start"});
    } else {
        kept.front().start = 0;
    }
    return kept;
}

std::string ChapterBuilder::titleFrom(const std::vector<WordView>& words, std::size_t index) {
    std::string joined;
    std::size_t taken = 0;
    std::string_view last;
    for (std::size_t i = index; i < words.size() && taken < 7; ++i) {
        if (taken) joined += ' ';
        joined += words[i].text;
        last = words[i].text;
        ++taken;
        if (endsSentence(last)) break;
    }
    const std::size_t first = joined.find_first_not_of(".,;:!");
    if (first == std::string::npos) {
        joined.clear();
    } else {
        joined = joined.substr(first, joined.find_last_not_of(".,;:!") - first + 1);
    }
    if (taken == 7 && !endsSentence(last)) joined += "\xE2\x80\xA6";
    if (joined.empty()) return "Chapter";
    return joined;
}

std::vector<Chapter> ChapterBuilder::automaticFrom(const std::vector<WordView>& words, double duration,
                                                   std::optional<double> minimumLength) {
    std::vector<Chapter> chapters;
    if (words.empty()) return chapters;
    const double minimum = minimumLength ? *minimumLength : std::max(60.0, duration / 12.0);
    chapters.push_back(Chapter{0, titleFrom(words, 0)});
    double reference = words.front().start;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const WordView& previous = words[i - 1];
        const WordView& word = words[i];
        const double pause = word.start - previous.end;
        const bool breaks = pause >= 2.0 || (endsSentence(previous.text) && pause >= 1.2);
        if (breaks && word.start - reference >= minimum && duration - word.start >= minimum / 2) {
            chapters.push_back(Chapter{std::max(0.0, word.start - 0.3), titleFrom(words, i)});
            reference = word.start;
        }
    }
    return chapters;
}

std::string ChapterBuilder::json(const std::vector<Chapter>& chapters) {
    std::string out = "{\n  \"chapters\" : [\n";
    if (chapters.empty()) out += "\n";
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        const double start = chapters[i].start;
        if (!std::isfinite(start)) throw std::invalid_argument("Chapter start is not a finite number");
        const double rounded = std::round(start * 1000.0) / 1000.0;
        out += "    {\n      \"startTime\" : ";
        out += shortestNumber(rounded == 0 ? 0.0 : rounded);
        out += ",\n      \"title\" : ";
        appendJSONQuoted(out, chapters[i].title);
        out += "\n    }";
        if (i + 1 < chapters.size()) out += ',';
        out += '\n';
    }
    out += "  ],\n  \"version\" : \"1.2.0\"\n}";
    return out;
}

std::string ChapterBuilder::text(const std::vector<Chapter>& chapters) {
    if (chapters.empty()) return "\n";
    const bool hours = chapters.back().start >= 3600;
    std::string out;
    for (const auto& c : chapters) {
        out += clock(c.start, hours);
        out += ' ';
        out += c.title;
        out += '\n';
    }
    return out;
}

std::string ChapterBuilder::ffmetadata(const std::vector<Chapter>& chapters, double duration) {
    std::string out = ";FFMETADATA1\n";
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        const double end = i + 1 < chapters.size() ? chapters[i + 1].start : duration;
        out += "[CHAPTER]\nTIMEBASE=1/1000\nSTART=";
        out += std::to_string(truncatedMillis(chapters[i].start));
        out += "\nEND=";
        out += std::to_string(truncatedMillis(end));
        out += "\ntitle=";
        for (char ch : chapters[i].title) {
            switch (ch) {
            case '\\': out += "\\\\"; break;
            case '=': out += "\\="; break;
            case ';': out += "\\;"; break;
            case '#': out += "\\#"; break;
            case '\n': out += ' '; break;
            default: out += ch;
            }
        }
        out += '\n';
    }
    return out;
}

}  // namespace morvale
