#include "av_engine/chapter_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace morvale {
namespace {

TEST(ChapterBuilderSeconds, ReadsOneToThreePieces) {
    struct Case {
        const char* text;
        std::optional<double> expected;
    };
    const std::vector<Case> cases{
        {"90", 90.0},
        {"1:30", 90.0},
        {"1:02:03", 3723.0},
        {"1::30", 90.0},
        {"5:", 5.0},
        {"::5", 5.0},
        {"5:30.5", 330.5},
        {"-1:30", -30.0},
        {"+2", 2.0},
        {"1e1", 10.0},
        {"", std::nullopt},
        {":::", std::nullopt},
        {"1:2:3:4", std::nullopt},
        {" 1:30", std::nullopt},
        {"1:30 ", std::nullopt},
        {"1:3a", std::nullopt},
        {"abc", std::nullopt},
        {"+-1", std::nullopt},
        // Non-finite readings and overflowing results are refused rather than carried on.
        {"inf", std::nullopt},
        {"nan", std::nullopt},
        {"-infinity", std::nullopt},
        {"1e308:1e308:1e308", std::nullopt},
        {"1e400", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ChapterBuilder::seconds(c.text), c.expected);
    }
}

TEST(ChapterBuilderClock, FormatsMinutesOrHours) {
    struct Case {
        double seconds;
        bool alwaysHours;
        const char* expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases{
        {90, false, "01:30"},
        {330, false, "05:30"},
        {59.99, false, "00:59"},
        {59.9, false, "00:59"},
        {750, false, "12:30"},
        {3599.999, false, "59:59"},
        {3600, false, "1:00:00"},
        {3725, false, "1:02:05"},
        {3900, false, "1:05:00"},
        {5, true, "0:00:05"},
        {-12, false, "00:00"},
        {0, false, "00:00"},
        // Values no clock can show must still come out as text, never as an undefined conversion.
        {nan, false, "00:00"},
        {-inf, true, "0:00:00"},
        {inf, false, "2562047788015215:30:07"},
        {1e300, false, "2562047788015215:30:07"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(ChapterBuilder::clock(c.seconds, c.alwaysHours), c.expected);
    }
}

TEST(ChapterBuilderParse, ReadsEntriesSeparatedByLinesAndSemicolons) {
    const std::vector<Chapter> introMain{{90, "Intro"}, {120, "Main"}};
    EXPECT_EQ(ChapterBuilder::parse("1:30 Intro;;  2:00 \xE2\x80\x94  Main "), introMain);
    EXPECT_EQ(ChapterBuilder::parse("1:30 Intro\n2:00 Main"), introMain);
    EXPECT_EQ(ChapterBuilder::parse("1:30 Intro\r\n2:00 Main\r\n"), introMain);
    EXPECT_EQ(ChapterBuilder::parse("1:30 Intro\r2:00 Main"), introMain);
    EXPECT_EQ(ChapterBuilder::parse("2:00\tMain\r\n\r\n1:30 Intro"), introMain);

    const std::vector<Chapter> both{{0, "Intro"}, {330, "Interview"}};
    EXPECT_EQ(ChapterBuilder::parse("0:00 Intro; 5:30 Interview"), both);
}

TEST(ChapterBuilderParse, TitlesLoseDashesAndBlanks) {
    for (const char* line : {"5:30 Interview", "5:30 - Interview", "5:30 \xE2\x80\x94 Interview",
                             "5:30 \xE2\x80\x93 Interview -", "  5:30   Interview\t"}) {
        SCOPED_TRACE(line);
        EXPECT_EQ(ChapterBuilder::parse(line), (std::vector<Chapter>{{330, "Interview"}}));
    }
    // A dash inside a title stays.
    EXPECT_EQ(ChapterBuilder::parse("1 Q-and-A"), (std::vector<Chapter>{{1, "Q-and-A"}}));
}

TEST(ChapterBuilderParse, DropsUnreadableEntries) {
    for (const char* text : {"10 ", "Interview", "1:2:3:4 x", "5:30-Interview", "5:30 -", "inf Forever",
                             "nan Title", "", "\r\n\r\n", ";;;"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(ChapterBuilder::parse(text).empty());
    }
}

TEST(ChapterBuilderParse, SortsStablyByStart) {
    const auto chapters = ChapterBuilder::parse("3:00 C\n1:00 A\n3:00 D\n0:30 Z");
    const std::vector<Chapter> expected{{30, "Z"}, {60, "A"}, {180, "C"}, {180, "D"}};
    EXPECT_EQ(chapters, expected);
}

TEST(ChapterBuilderTidy, KeepsChaptersInsideTheProgramme) {
    using V = std::vector<Chapter>;
    EXPECT_EQ(ChapterBuilder::tidy(V{{0.8, "A"}, {30, "B"}}, 100), (V{{0, "A"}, {30, "B"}}));
    EXPECT_EQ(ChapterBuilder::tidy(V{{5, "A"}, {30, "B"}}, 100), (V{{0, "Start"}, {5, "A"}, {30, "B"}}));
    EXPECT_EQ(ChapterBuilder::tidy(V{{10, "A"}, {99.5, "Late"}}, 100), (V{{0, "Start"}, {10, "A"}}));
    EXPECT_EQ(ChapterBuilder::tidy(V{{-2, "Before"}, {1, "A"}}, 100), (V{{0, "A"}}));
    EXPECT_EQ(ChapterBuilder::tidy(V{{30, "B"}, {0, "A"}, {30, "C"}}, 100), (V{{0, "A"}, {30, "B"}, {30, "C"}}));
    EXPECT_TRUE(ChapterBuilder::tidy(V{{50, "A"}}, 10).empty());
    EXPECT_TRUE(ChapterBuilder::tidy(V{{std::nan(""), "A"}}, 100).empty());
}

struct Word {
    std::string text;
    double start;
    double end;
};

std::vector<Word> spoken(const std::string& sentence) {
    std::vector<Word> words;
    std::size_t pos = 0;
    double t = 0;
    while (pos < sentence.size()) {
        std::size_t space = sentence.find(' ', pos);
        if (space == std::string::npos) space = sentence.size();
        words.push_back({sentence.substr(pos, space - pos), t, t + 0.3});
        t += 0.4;
        pos = space + 1;
    }
    return words;
}

TEST(ChapterBuilderTitles, SevenWordsOrOneSentence) {
    EXPECT_EQ(ChapterBuilder::title(spoken("what do you think? yes"), 0), "what do you think?");
    EXPECT_EQ(ChapterBuilder::title(spoken("so, this is a really long opening sentence here"), 0),
              "so, this is a really long opening\xE2\x80\xA6");
    EXPECT_EQ(ChapterBuilder::title(spoken("one two three four five six seven."), 0),
              "one two three four five six seven");
    EXPECT_EQ(ChapterBuilder::title(spoken("Hello, world! again"), 0), "Hello, world");
    EXPECT_EQ(ChapterBuilder::title(spoken("a b c"), 1), "b c");
    EXPECT_EQ(ChapterBuilder::title(spoken("...!"), 0), "Chapter");
    EXPECT_EQ(ChapterBuilder::title(spoken("a b"), 5), "Chapter");
}

TEST(ChapterBuilderAutomatic, OpensChaptersAtLongPausesFarEnoughApart) {
    EXPECT_TRUE(ChapterBuilder::automatic(std::vector<Word>{}, 100).empty());

    // A 40-minute episode: chapters at least max(60, 2400 / 12) = 200 s apart and not in the last 100 s.
    const std::vector<Word> words{
        {"Welcome.", 5, 5.5},      {"Early", 10, 10.3},   // long pause, but within 200 s of the start
        {"First", 250, 250.4},     {"topic", 250.5, 251}, // opens a chapter
        {"Too", 300, 300.2},                              // 50 s after the last chapter
        {"Second", 2250, 2250.4},                         // opens a chapter: 150 s remain
        {"Late", 2350, 2350.5},                           // only 50 s remain
    };
    const std::vector<Chapter> expected{{0, "Welcome"}, {249.7, "First topic Too Second Late"}, {2249.7, "Second Late"}};
    const auto chapters = ChapterBuilder::automatic(words, 2400);
    ASSERT_EQ(chapters.size(), expected.size());
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        EXPECT_NEAR(chapters[i].start, expected[i].start, 1e-9);
        EXPECT_EQ(chapters[i].title, expected[i].title);
    }

    // A sentence end needs only 1.2 s of pause; without one, 2 s.
    const std::vector<Word> pauses{{"Start", 0, 1},   {"intro.", 1, 2},      {"Topic", 61, 62},
                                   {"plain", 62, 125}, {"next", 126.3, 127}, // 1.3 s, no sentence end
                                   {"done.", 127, 128}, {"New", 129.3, 130}}; // 1.3 s after a sentence end
    const auto found = ChapterBuilder::automatic(pauses, 1000, 60.0);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_NEAR(found[1].start, 60.7, 1e-9);
    EXPECT_EQ(found[1].title, "Topic plain next done");
    EXPECT_NEAR(found[2].start, 129.0, 1e-9);
    EXPECT_EQ(found[2].title, "New");
}

TEST(ChapterBuilderFiles, JsonTextAndMetadata) {
    const std::vector<Chapter> chapters{{0, "Intro"}, {12.3456, "AC/DC \"live\""}};
    EXPECT_EQ(ChapterBuilder::json(chapters),
              "{\n"
              "  \"chapters\" : [\n"
              "    {\n"
              "      \"startTime\" : 0,\n"
              "      \"title\" : \"Intro\"\n"
              "    },\n"
              "    {\n"
              "      \"startTime\" : 12.346,\n"
              "      \"title\" : \"AC\\/DC \\\"live\\\"\"\n"
              "    }\n"
              "  ],\n"
              "  \"version\" : \"1.2.0\"\n"
              "}");
    EXPECT_EQ(ChapterBuilder::text(chapters), "00:00 Intro\n00:12 AC/DC \"live\"\n");
    EXPECT_EQ(ChapterBuilder::text({}), "\n");
    EXPECT_EQ(ChapterBuilder::text({{0, "A"}, {3700, "B"}}), "0:00:00 A\n1:01:40 B\n");

    EXPECT_EQ(ChapterBuilder::ffmetadata({{0, "Intro"}, {12.3456, "Q&A = fun #2"}, {20, "a\\b;c\nd"}}, 30.5),
              ";FFMETADATA1\n"
              "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=12345\ntitle=Intro\n"
              "[CHAPTER]\nTIMEBASE=1/1000\nSTART=12345\nEND=20000\ntitle=Q&A \\= fun \\#2\n"
              "[CHAPTER]\nTIMEBASE=1/1000\nSTART=20000\nEND=30500\ntitle=a\\\\b\\;c d\n");
    EXPECT_EQ(ChapterBuilder::ffmetadata({}, 10), ";FFMETADATA1\n");

    EXPECT_THROW(ChapterBuilder::json({{std::numeric_limits<double>::infinity(), "x"}}), std::invalid_argument);
}

}  // namespace
}  // namespace morvale
