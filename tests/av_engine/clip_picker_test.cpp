#include "av_engine/clip_picker.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace morvale {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// `count` words of 0.4 s every 0.5 s from `from`; each listed index ends a sentence with `mark`.
std::vector<CaptionWord> words(int count, double from, std::vector<std::pair<int, char>> marks = {}) {
    std::vector<CaptionWord> out;
    for (int i = 0; i < count; ++i) out.push_back({"w", from + 0.5 * i, from + 0.5 * i + 0.4});
    for (auto [index, mark] : marks) out[static_cast<std::size_t>(index)].text += mark;
    return out;
}

TEST(ClipPicker, LiveliestStart) {
    struct Row {
        const char* name;
        std::vector<CaptionWord> words;
        double duration;
        double length;
        double start;
    };
    // 40 words from 0.1 s: sentence openings at 0.1, 5.1 (after word 9) and 10.1 s (after word 19).
    auto paced = [](std::vector<std::pair<int, char>> marks) { return words(40, 0.1, std::move(marks)); };
    const std::vector<Row> rows = {
        {"episode shorter than the clip", paced({}), 40.0, 45.0, 0.0},
        {"not a second longer", paced({}), 45.9, 45.0, 0.0},
        {"8 words", words(8, 10.0), 60.0, 2.0, 0.0},
        {"9 words", words(9, 10.0), 60.0, 2.0, 9.75},
        {"equal scores keep the earlier, a lead-in never below 0", paced({{9, '.'}}), 60.0, 4.0, 0.0},
        {"questions weigh more", paced({{9, '.'}, {19, '.'}, {22, '?'}}), 60.0, 4.0, 9.85},
        {"a window past the end is never chosen", paced({{9, '.'}, {19, '.'}, {22, '?'}}), 13.0, 4.0, 0.0},
        {"no usable duration", paced({}), kNaN, 4.0, 0.0},
        {"no usable length", paced({}), 60.0, kNaN, 0.0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_NEAR(ClipPicker::liveliestStart(row.words, row.duration, row.length), row.start, 1e-9);
    }
}

TEST(ClipPicker, LoudestStart) {
    struct Row {
        std::vector<float> levels;
        double step;
        double length;
        double start;
    };
    const std::vector<Row> rows = {
        {{1, 5, 5, 1}, 0.5, 1.0, 0.5},
        {{1, 5, 5, 1}, 0.5, 2.0, 0.0},   // the window is the whole curve
        {{1, 1, 1, 1}, 0.5, 1.0, 0.0},   // ties keep the first
        {{1, 2, 3, 9}, 0.5, 0.4, 0.0},   // window of no level
        {{1, 5, 5, 1}, kNaN, 1.0, 0.0},
        {{1, 5, 5, 1}, 0.5, kInf, 0.0},
        {{1, 5, 5, 1}, -0.5, -1.0, 0.0},
        {{1, 5, 5, 1}, 0.0, 1.0, 0.0},
        {{1, 5, 5, 1}, 1e-300, 1e300, 0.0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.step << " " << row.length);
        EXPECT_DOUBLE_EQ(ClipPicker::loudestStart(row.levels, row.step, row.length), row.start);
    }
}

}  // namespace
}  // namespace morvale
