#include "av_engine/filler_remover.h"

#include <gtest/gtest.h>

#include <limits>

namespace morvale {
namespace {

using Words = std::vector<CaptionWord>;

std::vector<std::string> texts(const Words& words) {
    std::vector<std::string> out;
    for (const auto& w : words) out.push_back(w.text);
    return out;
}

TEST(FillerRemover, KindsOfFillers) {
    struct Row {
        const char* text;
        const char* kind;  // nullptr: not a filler
    };
    const std::vector<Row> rows = {
        {"Uhh,", "uh"}, {"Ah", "uh"},   {"Umm", "um"},     {"uhm", "um"},  {"Hmm", "hmm"}, {"Mm.", "mm"},
        {"Erm", "erm"}, {"er", "er"},   {"“Um”", "um"},    {"m", nullptr}, {"hum", nullptr}, {"ahm", nullptr},
        {"um-hum", nullptr}, {"Ummah", nullptr}, {"", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const FillerRemover::Plan plan = FillerRemover::plan({{row.text, 1.0, 1.3}}, true);
        if (row.kind == nullptr) {
            EXPECT_TRUE(plan.removed.empty());
        } else {
            EXPECT_EQ(plan.removed, (std::map<std::string, int>{{row.kind, 1}}));
        }
    }
    EXPECT_EQ(FillerRemover::normalised("  It’S!"), "it's");
    EXPECT_EQ(FillerRemover::normalised("ÉTÉ,"), "été");
}

TEST(FillerRemover, Plans) {
    struct Row {
        const char* name;
        Words words;
        std::vector<TimeRange> hidden;
        std::vector<TimeRange> cuts;
        std::vector<std::string> kept;
        std::map<std::string, int> removed;
    };
    const std::vector<Row> rows = {
        {"filler closed up to the next word",
         {{"so", 0.5, 0.9}, {"um", 1.0, 1.3}, {"we", 1.5, 1.8}},
         {}, {{1.0, 1.5}}, {"so", "we"}, {{"um", 1}}},
        {"filler followed by a long pause", {{"so", 0.5, 0.9}, {"um", 1.0, 1.3}, {"we", 1.7, 1.9}}, {}, {{1.0, 1.3}}, {"so", "we"}, {{"um", 1}}},
        {"stutter", {{"I", 0.0, 0.2}, {"I", 0.5, 0.7}, {"think", 0.8, 1.1}}, {}, {{0.0, 0.5}}, {"I", "think"}, {{"repeated words", 1}}},
        {"stutter with a comma", {{"I,", 0.0, 0.2}, {"I", 0.5, 0.7}, {"think", 0.8, 1.1}}, {}, {}, {"I,", "I", "think"}, {}},
        {"so so is no stutter", {{"so", 0.0, 0.2}, {"so", 0.5, 0.7}}, {}, {}, {"so", "so"}, {}},
        {"repeat too far apart", {{"the", 0.0, 0.2}, {"the", 0.8, 1.0}}, {}, {}, {"the", "the"}, {}},
        {"sentence end moves to the kept word",
         {{"It", 0.0, 0.2}, {"was", 0.3, 0.5}, {"great", 0.6, 0.9}, {"um.", 1.0, 1.2}, {"Next", 2.0, 2.3}},
         {}, {{1.0, 1.2}}, {"It", "was", "great.", "Next"}, {{"um", 1}}},
        {"comma replaced by the full stop",
         {{"was,", 0.0, 0.3}, {"um.", 0.4, 0.6}, {"then", 1.0, 1.2}}, {}, {{0.4, 0.6}}, {"was.", "Then"}, {{"um", 1}}},
        {"filler at the start", {{"uh", 0.0, 0.2}, {"ça", 0.6, 0.9}, {"va", 1.0, 1.2}}, {}, {{0.0, 0.2}}, {"Ça", "va"}, {{"uh", 1}}},
        {"cuts 0.01 s apart merge",
         {{"x", 0.0, 0.5}, {"um", 1.0, 1.2}, {"y", 3.0, 3.5}}, {{1.21, 1.5}}, {{1.0, 1.5}}, {"x", "y"}, {{"um", 1}, {"unspoken um/uh", 1}}},
        {"cuts 0.03 s apart stay apart",
         {{"x", 0.0, 0.5}, {"um", 1.0, 1.2}, {"y", 3.0, 3.5}}, {{1.23, 1.5}}, {{1.0, 1.2}, {1.23, 1.5}}, {"x", "y"}, {{"um", 1}, {"unspoken um/uh", 1}}},
        {"hidden cuts alone", {}, {{2.0, 2.3}, {0.5, 0.7}}, {{0.5, 0.7}, {2.0, 2.3}}, {}, {{"unspoken um/uh", 2}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const FillerRemover::Plan plan = FillerRemover::plan(row.words, true, row.hidden);
        ASSERT_EQ(plan.cuts.size(), row.cuts.size());
        for (std::size_t i = 0; i < row.cuts.size(); ++i) {
            EXPECT_NEAR(plan.cuts[i].lower, row.cuts[i].lower, 1e-9);
            EXPECT_NEAR(plan.cuts[i].upper, row.cuts[i].upper, 1e-9);
        }
        EXPECT_EQ(texts(plan.words), row.kept);
        EXPECT_EQ(plan.removed, row.removed);
    }
    // Re-timing: 'we' moves back by the 0.5 s cut, 'so' stays.
    const auto plan = FillerRemover::plan({{"so", 0.5, 0.9}, {"um", 1.0, 1.3}, {"we", 1.5, 1.8}}, true);
    EXPECT_NEAR(plan.words[1].start, 1.0, 1e-9);
    EXPECT_NEAR(plan.words[1].end, 1.3, 1e-9);
    EXPECT_NEAR(plan.secondsRemoved(), 0.5, 1e-9);
    EXPECT_EQ(plan.count(), 1);
    // Without repeat removal the stutter stays.
    EXPECT_EQ(FillerRemover::plan({{"I", 0.0, 0.2}, {"I", 0.5, 0.7}}, false).cuts.size(), 0u);
}

// 100 frames of silence with a word from 0.4 s holding an unsteady voiced run (frames 22-30) and a steady
// one (36-50): the steady run is the hidden hesitation.
std::vector<FillerRemover::SpeechFrame> hesitationFrames() {
    std::vector<FillerRemover::SpeechFrame> frames(100, {-80.0f, 0.0f});
    for (int k = 22; k < 30; ++k) frames[static_cast<std::size_t>(k)] = {k % 2 ? -20.0f : -10.0f, k % 2 ? 0.0f : 20.0f};
    for (int k = 36; k < 50; ++k) frames[static_cast<std::size_t>(k)] = {-20.0f, 5.0f};
    return frames;
}

TEST(FillerRemover, HiddenFillers) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        const char* name;
        CaptionWord word;
        std::size_t frameCount;
        std::vector<TimeRange> cuts;
    };
    const std::vector<Row> rows = {
        {"cut from silence to silence", {"cat", 0.4, 1.4}, 100, {{0.66, 1.2}}},
        {"exactly 0.2 s longer than expected", {"cat", 0.4, 0.935}, 100, {{0.66, 0.935}}},
        {"just short of it", {"cat", 0.4, 0.93}, 100, {}},
        {"a filler word is the plan's business", {"umm", 0.4, 1.4}, 100, {}},
        {"50 frames are too few", {"cat", 0.4, 0.99}, 50, {}},
        {"no time", {"cat", nan, 1.4}, 100, {}},
        {"endless word", {"cat", 0.4, std::numeric_limits<double>::infinity()}, 100, {}},
        {"a negative start counts from frame 0", {"cat", -5.0, 1.4}, 100, {{0.66, 1.2}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto frames = hesitationFrames();
        frames.resize(row.frameCount);
        const auto cuts = FillerRemover::hiddenFillerCuts({row.word}, frames);
        ASSERT_EQ(cuts.size(), row.cuts.size());
        for (std::size_t i = 0; i < cuts.size(); ++i) {
            EXPECT_NEAR(cuts[i].lower, row.cuts[i].lower, 1e-9);
            EXPECT_NEAR(cuts[i].upper, row.cuts[i].upper, 1e-9);
        }
    }
}

}  // namespace
}  // namespace morvale
