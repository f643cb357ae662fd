#include "audio_fixtures.h"
#include "speech_corpus.h"
#include "support/pinned_child.h"
#include "support/temp_dir.h"

#include "av_engine/filler_remover.h"
#include "av_engine/loudness_normalizer.h"
#include "av_engine/speech_segmenter.h"
#include "av_engine/transcriber.h"
#include "av_engine/wav_writer.h"
#include "base/cancellation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

namespace morvale {
namespace {

using Words = std::vector<CaptionWord>;

Words letters(int count, double step) {
    Words out;
    for (int i = 0; i < count; ++i) out.push_back({std::string(1, static_cast<char>('a' + i % 26)), i * step, (i + 1) * step});
    return out;
}

std::vector<std::size_t> cueSizes(const std::vector<CaptionCue>& cues) {
    std::vector<std::size_t> out;
    for (const auto& c : cues) out.push_back(c.words.size());
    return out;
}

TEST(TranscriberText, Cues) {
    struct Row {
        const char* name;
        Words words;
        std::vector<std::size_t> sizes;
    };
    const std::vector<Row> rows = {
        {"42 characters: 21 one-letter words", letters(26, 0.15), {21, 5}},
        {"exactly 4.0 s stays open", {{"one", 0.0, 1.0}, {"two", 1.5, 4.0}}, {2}},
        {"4.01 s closes", {{"one", 0.0, 1.0}, {"two", 1.5, 4.01}}, {1, 1}},
        {"gap of 0.8 s stays open", {{"one", 0.0, 1.0}, {"two", 1.8, 2.0}}, {2}},
        {"gap of 0.81 s closes", {{"one", 0.0, 1.0}, {"two", 1.81, 2.0}}, {1, 1}},
        {"a lone sentence end stays open", {{"Yes.", 0.0, 0.3}, {"and", 0.4, 0.6}, {"so.", 0.7, 0.9}, {"On", 1.0, 1.2}}, {3, 1}},
        {"a word longer than the limit stands alone",
         {{"a", 0.0, 0.1}, {std::string(50, 'x'), 0.2, 0.5}, {"b", 0.6, 0.7}}, {1, 1, 1}},
        // 41 characters on screen, 62 bytes: "é" written as e and a combining accent, and "ö".
        {"characters, not bytes",
         {{"caf\x65\xCC\x81", 0.0, 0.1}, {"\xC3\xB6\xC3\xB6\xC3\xB6\xC3\xB6\xC3\xB6\xC3\xB6\xC3\xB6\xC3\xB6\xC3\xB6\xC3\xB6", 0.2, 0.3},
          {"abcdefghijklmnopqrstuvwxy", 0.4, 0.5}, {"z", 0.6, 0.7}}, {3, 1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(cueSizes(Transcriber::cues(row.words, 42, 4.0)), row.sizes);
    }
    EXPECT_TRUE(Transcriber::cues({}, 42, 4.0).empty());
}

TEST(TranscriberText, SplitsMultiWordRuns) {
    const Words split = Transcriber::splitMultiWordRuns({{"New York", 2.0, 3.0}, {"Hello,", 3.0, 3.5}, {" a  b c ", 4.0, 4.3}});
    const Words expected = {{"New", 2.0, 2.5}, {"York", 2.5, 3.0}, {"Hello,", 3.0, 3.5}, {"a", 4.0, 4.1}, {"b", 4.1, 4.2}, {"c", 4.2, 4.3}};
    ASSERT_EQ(split.size(), expected.size());
    for (std::size_t i = 0; i < split.size(); ++i) {
        EXPECT_EQ(split[i].text, expected[i].text);
        EXPECT_NEAR(split[i].start, expected[i].start, 1e-9);
        EXPECT_NEAR(split[i].end, expected[i].end, 1e-9);
    }
}

TEST(TranscriberText, Files) {
    struct Row {
        double seconds;
        char separator;
        const char* text;
    };
    for (const Row& row : std::vector<Row>{{3661.2346, ',', "01:01:01,235"},
                                           {3661.2346, '.', "01:01:01.235"},
                                           {360000.0, ',', "100:00:00,000"},
                                           {-2.0, ',', "00:00:00,000"},
                                           {std::nan(""), '.', "00:00:00.000"},
                                           {0.0005, '.', "00:00:00.001"}}) {
        EXPECT_EQ(Transcriber::timestamp(row.seconds, row.separator), row.text);
    }
    const std::vector<CaptionCue> cues = {{{{"Hi", 10.0, 10.1}}}, {{{"there", 10.2, 10.6}, {"you", 10.7, 11.0}}}, {{{"Bye.", 20.0, 20.1}}}};
    EXPECT_EQ(Transcriber::srt(cues, 1.0),
              "1\n00:00:11,000 --> 00:00:11,200\nHi\n\n"  // held for 0.3 s, but not past the next cue's start
              "2\n00:00:11,200 --> 00:00:12,000\nthere you\n\n"
              "3\n00:00:21,000 --> 00:00:21,300\nBye.\n");
    EXPECT_EQ(Transcriber::vtt(cues),
              "WEBVTT\n\n00:00:10.000 --> 00:00:10.200\nHi\n\n00:00:10.200 --> 00:00:11.000\nthere you\n\n"
              "00:00:20.000 --> 00:00:20.300\nBye.\n");
    EXPECT_EQ(Transcriber::srt({}), "");
    EXPECT_EQ(Transcriber::vtt({}), "WEBVTT\n\n");
    EXPECT_EQ(Transcriber::srt({CaptionCue{}}), "1\n00:00:00,000 --> 00:00:00,300\n\n");

    Words long81;
    for (int i = 0; i < 82; ++i) long81.push_back({i == 80 ? "end." : "w", 100.0 + i * 0.1, 100.05 + i * 0.1});
    EXPECT_EQ(Transcriber::plainText({{"Hello", 59.9, 60.2}, {"there.", 60.3, 60.6}, {"Later", 62.2, 62.5}}, 0.0),
              "[00:59] Hello there.\n\n[01:02] Later\n");
    EXPECT_EQ(Transcriber::plainText({{"Late", 4500.0, 4500.5}}, 3.7), "[75:03] Late\n");
    const std::string text = Transcriber::plainText(long81);
    EXPECT_EQ(text.substr(text.size() - 12), "\n\n[01:48] w\n");  // the 82nd word opens a paragraph after 81 words
    EXPECT_EQ(Transcriber::plainText({}), "\n");
}

TEST(TranscriberText, LanguagesAndModel) {
    for (const char* yes : {"en-US", "en", "EN-gb", "en_AU", "C", "POSIX", ""}) EXPECT_TRUE(Transcriber::supportsLanguage(yes)) << yes;
    for (const char* no : {"de-AT", "eng", "fr", "e"}) EXPECT_FALSE(Transcriber::supportsLanguage(no)) << no;
    test::TempDir dir;
    EXPECT_FALSE(Transcriber::isSupported(dir.path()));
    EXPECT_TRUE(Transcriber::isSupported());
    Transcriber withoutModel(Transcriber::Options{dir.path(), 1, nullptr, 30.0});
    try {
        withoutModel.transcribe(dir / "none.wav", "en-US");
        ADD_FAILURE() << "no model, no transcript";
    } catch (const Transcriber::TranscriberError& e) {
        EXPECT_EQ(e.kind(), Transcriber::TranscriberError::Kind::unsupportedSystem);
    }
}

// Segments come in order, never overlap, hold every loud stretch whole, and stay within the longest length:
// 12 minutes of babble with no pause over 0.05 s end only at the forced cuts.
// A process pinned to three cores loads at most three decoders (about 100 MB each), not one per core of
// the machine.
TEST(DecoderPool, FollowsTheProcessorsTheProcessMayUse) {
    const auto status = test::exitStatusPinnedTo(3, [] { return static_cast<int>(DecoderPool().capacity()); });
    if (!status) GTEST_SKIP() << "fewer than three processors";
    EXPECT_EQ(*status, 3);
}

TEST(SpeechSegmenter, CutsAtPausesAndAtTheLongestLength) {
    struct Row {
        const char* name;
        std::vector<std::pair<double, bool>> pattern;  // seconds, loud
        double seconds;
        std::size_t minSegments;
        double longest;  // seconds
    };
    const std::vector<Row> rows = {
        {"no pauses", {{0.25, true}, {0.05, false}}, 720.0, 24, 30.0},
        // 3 s of sound with at most 0.2 s of each neighbouring pause.
        {"sentences", {{3.0, true}, {0.8, false}}, 120.0, 31, 3.4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::mt19937 random(5);
        std::uniform_real_distribution<float> noise(-0.3f, 0.3f);
        SpeechSegmenter segmenter;
        std::vector<std::pair<std::int64_t, std::int64_t>> segments;
        const SpeechSegmenter::Emit emit = [&](SpeechSegmenter::Segment&& s) {
            if (s.hasSpeech) segments.emplace_back(s.firstSample, s.firstSample + static_cast<std::int64_t>(s.samples.size()));
        };
        std::vector<std::pair<std::int64_t, std::int64_t>> loud;
        std::vector<float> chunk;
        std::int64_t at = 0;
        while (at < static_cast<std::int64_t>(row.seconds * 16000)) {
            for (auto [length, isLoud] : row.pattern) {
                chunk.assign(static_cast<std::size_t>(length * 16000), 0.0f);
                if (isLoud) {
                    for (float& x : chunk) x = noise(random);
                    loud.emplace_back(at, at + static_cast<std::int64_t>(chunk.size()));
                }
                segmenter.push(chunk, emit);
                at += static_cast<std::int64_t>(chunk.size());
            }
        }
        segmenter.finish(emit);
        double longest = 0.0;
        for (std::size_t i = 0; i < segments.size(); ++i) {
            if (i > 0) {
                EXPECT_GE(segments[i].first, segments[i - 1].second);
            }
            longest = std::max(longest, static_cast<double>(segments[i].second - segments[i].first) / 16000.0);
        }
        for (auto [from, to] : loud) {
            const bool inside = std::any_of(segments.begin(), segments.end(), [&](auto s) { return s.first <= from && to <= s.second; });
            const bool split = std::any_of(segments.begin(), segments.end(), [&](auto s) { return s.first > from && s.first < to; });
            EXPECT_TRUE(inside || (split && row.longest >= 30.0)) << from;
        }
        EXPECT_GE(segments.size(), row.minSegments);
        EXPECT_LE(longest, row.longest + 1e-9);
    }
}

// One recognition of the generated corpus, shared by the checks below.
class TranscriberCorpus : public testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new test::TempDir();
        corpus_ = new test::SpeechCorpus(test::makeSpeechCorpus(folder_->path()));
        words_ = new Words(Transcriber().transcribe(corpus_->file, "en-US"));
    }
    static void TearDownTestSuite() {
        delete words_;
        delete corpus_;
        delete folder_;
    }
    static test::TempDir* folder_;
    static test::SpeechCorpus* corpus_;
    static Words* words_;
};
test::TempDir* TranscriberCorpus::folder_ = nullptr;
test::SpeechCorpus* TranscriberCorpus::corpus_ = nullptr;
Words* TranscriberCorpus::words_ = nullptr;

TEST_F(TranscriberCorpus, WordsAreInOrderInsideTheFileAndMostlyRight) {
    const Words& words = *words_;
    ASSERT_FALSE(words.empty());
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const CaptionWord& w = words[i];
        EXPECT_LE(w.start, w.end);
        EXPECT_GE(w.start, 0.0);
        EXPECT_LE(w.end, corpus_->seconds + 0.01);
        if (i > 0) {
            EXPECT_GE(w.start, words[i - 1].end - 1e-9);
        }
        EXPECT_EQ(w.text.find_first_of("<>[]()"), std::string::npos) << w.text;
        texts.push_back(w.text);
    }
    const auto reference = test::referenceWords(corpus_->sentences);
    const double matched = static_cast<double>(test::wordsMatchedInOrder(reference, texts)) / static_cast<double>(reference.size());
    // Three decoders each start cold on their first segment, which costs a few points against one
    // decoder; the split is fixed per segment index, so this figure does not move with thread timing.
    EXPECT_GE(matched, 0.38) << "WER " << test::wordErrorRate(reference, texts);
}

TEST_F(TranscriberCorpus, CaptionFilesReadBack) {
    const auto cues = Transcriber::cues(*words_, 42, 4.0);
    for (std::size_t i = 0; i + 1 < cues.size(); ++i) EXPECT_LE(cues[i].end(), cues[i + 1].start());
    for (const auto& [name, text] : {std::pair<std::string, std::string>{"x.srt", Transcriber::srt(cues, 12.5)},
                                     {"x.vtt", Transcriber::vtt(cues, 12.5)}}) {
        // FFmpeg reads each file back (re-writing it as SubRip) and finds every cue, each in its place.
        const auto path = folder_->write(name, text);
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(
            popen(("ffmpeg -v error -xerror -i " + test::quoted(path) + " -f srt - 2>&1").c_str(), "r"), pclose);
        ASSERT_TRUE(pipe);
        std::string back;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) back.append(buffer, n);
        std::size_t arrows = 0;
        for (std::size_t at = back.find(" --> "); at != std::string::npos; at = back.find(" --> ", at + 1)) ++arrows;
        EXPECT_EQ(arrows, cues.size()) << name;
        EXPECT_NE(back.find(Transcriber::timestamp(cues.back().start() + 12.5, ',') + " --> "), std::string::npos) << name;
    }
}

TEST_F(TranscriberCorpus, FillerFreeSpeechIsBarelyCut) {
    LoudnessNormalizer normalizer;
    const auto hidden = FillerRemover::hiddenFillerCuts(*words_, normalizer.speechFrames(corpus_->file));
    const FillerRemover::Plan plan = FillerRemover::plan(*words_, true, hidden);
    // The recogniser hears a few "ah"s in clean speech; a plan that cut one word in ten would be broken.
    EXPECT_LE(static_cast<double>(plan.count()), 0.05 * static_cast<double>(words_->size()));
}

TEST(TranscriberErrors, LanguageSilenceAndStop) {
    test::TempDir dir;
    WAVWriter writer(dir / "silence.wav", 16000, 1, 16);
    const std::vector<float> zeros(16000 * 5, 0.0f);
    writer.write(zeros.data(), static_cast<std::int64_t>(zeros.size()));
    writer.close();
    Transcriber transcriber;
    try {
        transcriber.transcribe(dir / "silence.wav", "de-AT");
        ADD_FAILURE();
    } catch (const Transcriber::TranscriberError& e) {
        EXPECT_STREQ(e.what(), "On-device transcription doesn't support the language de-AT.");
    }
    try {
        transcriber.transcribe(dir / "silence.wav", "en-US");
        ADD_FAILURE();
    } catch (const Transcriber::TranscriberError& e) {
        EXPECT_STREQ(e.what(), "No speech was recognised.");
    }
    // A stop during decoding (as the first stretch of speech is handed on) ends the run with the
    // cancellation, not with words.
    const auto speech = test::makeSpeech(dir.path(), 60.0, 16000);
    std::stop_source stop;
    const ProgressSink stopAtFirstProgress = [&](double, const std::string&) { stop.request_stop(); };
    EXPECT_THROW(transcriber.transcribe(speech, "en", stopAtFirstProgress, {}, stop.get_token()), OperationCancelled);
}

}  // namespace
}  // namespace morvale

namespace morvale {
namespace {

// Fillers and a stutter spoken at known places: the plan finds most, cuts little else, and the cut audio
// has no step larger than the speech's own.
TEST(FillerRemovalOnSpeech, FindsFillersAndCutsWithoutClicks) {
    test::TempDir dir;
    const test::FillerCorpus corpus = test::makeFillerCorpus(dir.path());
    const Words words = Transcriber().transcribe(corpus.file, "en-US");
    LoudnessNormalizer normalizer;
    const auto plan = FillerRemover::plan(words, true, FillerRemover::hiddenFillerCuts(words, normalizer.speechFrames(corpus.file)));
    auto overlaps = [](const TimeRange& cut, const std::pair<double, double>& filler) {
        return cut.lower < filler.second && filler.first < cut.upper;
    };
    std::size_t rightCuts = 0;
    for (const auto& cut : plan.cuts) {
        rightCuts += std::any_of(corpus.fillers.begin(), corpus.fillers.end(), [&](const auto& f) { return overlaps(cut, f); });
    }
    std::size_t found = 0;
    for (const auto& filler : corpus.fillers) {
        found += std::any_of(plan.cuts.begin(), plan.cuts.end(), [&](const auto& cut) { return overlaps(cut, filler); });
    }
    ASSERT_FALSE(plan.cuts.empty());
    const double precision = static_cast<double>(rightCuts) / static_cast<double>(plan.cuts.size());
    const double recall = static_cast<double>(found) / static_cast<double>(corpus.fillers.size());
    EXPECT_GE(precision, 0.5);
    EXPECT_GE(recall, 0.35);

    normalizer.cut(corpus.file, dir / "cut.wav", plan.cuts);
    const test::Audio before = test::decode(corpus.file);
    const test::Audio after = test::decode(dir / "cut.wav");
    auto step = [](const test::Audio& a, std::size_t i) { return std::fabs(a.samples[i] - a.samples[i - 1]); };
    float largest = 0.0f;
    for (std::size_t i = 1; i < before.samples.size(); ++i) largest = std::max(largest, step(before, i));
    std::int64_t removed = 0;
    for (const auto& cut : plan.cuts) {
        const auto lower = static_cast<std::int64_t>(cut.lower * before.sampleRate);
        const auto upper = static_cast<std::int64_t>(cut.upper * before.sampleRate);
        const auto join = static_cast<std::size_t>(lower - removed);
        removed += upper - lower;
        for (std::size_t i = join - 3; i <= join + 3 && i < after.samples.size(); ++i) {
            EXPECT_LT(step(after, i), largest) << "cut at " << cut.lower;
        }
    }
}

}  // namespace
}  // namespace morvale
