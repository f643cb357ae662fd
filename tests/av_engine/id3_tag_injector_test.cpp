#include "av_engine/id3_tag_injector.h"

#include "audio_fixtures.h"
#include "av_engine/chapter_builder.h"
#include "base/atomic_file_writer.h"
#include "base/cancellation.h"
#include "fake_ffmpeg.h"
#include "media_fixtures.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include <sys/stat.h>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using test::FakeFFmpeg;
using test::TempDir;

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

ID3TagInjector::PodcastMetadata sampleTags() {
    return {"Ep. 12: Harbours", "Ann Host", "Tide Talk", 12, 7, "Notes on harbours", 2024, std::nullopt};
}

// Real inputs made once for the suite: a tone as WAV and MP3, and pictures of three kinds.
class TagInjectorMedia : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media_ = std::make_unique<TempDir>();
        test::makeTone(*media_ / "tone.wav", 3.0);
        test::makeMP3(*media_ / "tone.wav", *media_ / "tone.mp3");
        test::makeNoise(*media_ / "noise.wav", 3.0);
        test::makePicture(*media_ / "cover.png", "png");
        test::makePicture(*media_ / "cover.jpg", "mjpeg");
        fs::copy_file(*media_ / "cover.jpg", *media_ / "jpeg_named.png");
        test::makePicture(*media_ / "cover.webp", "libwebp");
    }
    static void TearDownTestSuite() { media_.reset(); }
    static fs::path media(const char* name) { return *media_ / name; }

    static std::unique_ptr<TempDir> media_;
};
std::unique_ptr<TempDir> TagInjectorMedia::media_;

const char* const kMP3Oracle = R"(import sys, mutagen.id3, eyed3, logging
logging.disable(logging.CRITICAL)
path = sys.argv[1]
t = mutagen.id3.ID3(path, translate=False)
print('version\t%d.%d' % t.version[:2])
for k in ['TIT2', 'TPE1', 'TALB', 'TYER', 'TRCK']:
    print('%s\t%s' % (k, t[k].text[0] if k in t else '-'))
print('APIC\t' + ','.join('%d:%s' % (int(a.type), a.mime) for a in t.getall('APIC')))
print('COMM\t' + '|'.join('%s:%s:%s' % (c.lang, c.desc, c.text[0]) for c in t.getall('COMM')))
print('CHAP\t' + ','.join(sorted(c.sub_frames['TIT2'].text[0] for c in t.getall('CHAP'))))
print('CTOC\t%d' % len(t.getall('CTOC')))
print('season\t%s' % ('TPOS' in t or any('season' in k.lower() for k in t.keys())))
e = eyed3.load(path).tag
print('eyeD3\t%s|%s|%s|%s|%d|%s|%s|%d|%d' % ('.'.join(map(str, e.version)), e.title, e.artist, e.album, e.track_num[0] or 0,
      e.comments[0].text if e.comments else '-', ','.join(str(i.picture_type) for i in e.images),
      len(list(e.chapters)), len(list(e.table_of_contents))))
)";

TEST(TagInjectorArguments, EachCoverAndChapterCaseExactly) {
    const TempDir dir;
    const auto cover = dir.write("art.png", "\x89PNG\r\n\x1A\n....");
    const auto chapters = dir.write("ch.txt", ";FFMETADATA1\n");
    const auto source = dir.write("rss.mp3", "mp3");
    const std::vector<std::string> tail{"-c:a", "copy", "-metadata:s:v", "title=Album cover", "-metadata:s:v",
                                        "comment=Cover (front)", "-id3v2_version", "3", "-metadata", "title=T",
                                        "-metadata", "artist=", "-metadata", "album=Show", "-metadata", "comment=N"};
    using V = std::vector<std::string>;
    const struct {
        bool cover, chapters;
        std::optional<std::int64_t> year, episode;
        V middle, end;
    } cases[] = {
        {false, false, 2024, std::nullopt, {"-map", "0:a"}, {"-metadata", "date=2024"}},
        {true, true, std::nullopt, 12, {"-i", cover, "-f", "ffmetadata", "-i", chapters, "-map", "0:a", "-map_chapters", "2",
                                        "-map", "1:0", "-c:v", "copy", "-disposition:v:0", "attached_pic"},
         {"-metadata", "track=12"}},
        {false, true, 2023, 3, {"-f", "ffmetadata", "-i", chapters, "-map", "0:a", "-map_chapters", "1"},
         {"-metadata", "date=2023", "-metadata", "track=3"}},
        {true, false, std::nullopt, std::nullopt, {"-i", cover, "-map", "0:a", "-map", "1:0", "-c:v", "copy",
                                                   "-disposition:v:0", "attached_pic"}, {}},
    };
    // The fake writes an empty ID3v2.3 tag to its last argument, as the real one would write a file.
    const FakeFFmpeg fake("for a; do last=$a; done; printf 'ID3\\003\\000\\000\\000\\000\\000\\000' > \"$last\"");
    const FFmpegRunner runner = fake.runner();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.middle.size());
        const fs::path destination = dir / "out_RSS_192k.mp3";
        ID3TagInjector::PodcastMetadata tags{"T", "", "Show", c.episode, 5, "N", c.year, std::nullopt};
        if (c.cover) tags.artworkURL = cover;
        ID3TagInjector(runner).inject(tags, source, destination, c.chapters ? std::optional(chapters) : std::nullopt);

        V expected = FFmpegRunner::leadingArguments();
        expected.insert(expected.end(), {"-y", "-i", source});
        expected.insert(expected.end(), c.middle.begin(), c.middle.end());
        expected.insert(expected.end(), tail.begin(), tail.end());
        expected.insert(expected.end(), c.end.begin(), c.end.end());
        V got = fake.arguments();
        ASSERT_FALSE(got.empty());
        const fs::path written = got.back();
        got.pop_back();
        EXPECT_EQ(got, expected);
        EXPECT_EQ(written.parent_path(), dir.path());
        EXPECT_EQ(written.extension(), ".mp3");
        EXPECT_NE(written, destination);
        EXPECT_FALSE(fs::exists(written));
        EXPECT_TRUE(test::readFile(destination).starts_with("ID3"));
        EXPECT_EQ(fake.inheritedDescriptors(), (std::set<int>{0, 1, 2}));
    }
}

TEST(TagInjectorArguments, OutputWithoutAUsableTagFailsAndKeepsTheOldFile) {
    const TempDir dir;
    const auto source = dir.write("rss.mp3", "mp3");
    const fs::path destination = dir.write("ep.mp3", "old");
    for (const char* output : {"not an MP3",
                               "ID3\\004\\000\\000\\000\\000\\000\\000",                          // version 2.4
                               "ID3\\003\\000\\000\\000\\000\\000\\024TIT2\\000\\000\\000\\177\\000\\000xxxxxxxxxx",  // frame past the tag
                               "ID3\\003\\000\\000\\000\\000\\001\\200"}) {                        // size not synchsafe
        SCOPED_TRACE(output);
        const FakeFFmpeg fake(std::string("for a; do last=$a; done; printf '") + output + "' > \"$last\"");
        try {
            ID3TagInjector(fake.runner()).inject(sampleTags(), source, destination, std::nullopt);
            ADD_FAILURE() << "accepted";
        } catch (const ID3TagInjector::TagError& e) {
            EXPECT_EQ(e.kind(), ID3TagInjector::TagError::Kind::taggingFailed);
        }
        EXPECT_EQ(test::readFile(destination), "old");
        EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"ep.mp3", "rss.mp3"}));
    }
}

TEST_F(TagInjectorMedia, RealMP3CarriesID3v23TagsCoverCommentAndChapters) {
    const TempDir dir;
    const auto chaptersFile = dir.write("chapters.txt", ChapterBuilder::ffmetadata({{0, "Q&A = fun #2"}, {1.5, "back\\slash"}}, 3.0));
    auto tags = sampleTags();
    tags.showNotes = "Harbours, tides — and ünïcode ✓";
    tags.artworkURL = media("cover.png");
    const fs::path out = dir / "ep_RSS_192k.mp3";
    ID3TagInjector().inject(tags, media("tone.mp3"), out, chaptersFile);

    EXPECT_EQ(test::probe(out, "chapter_tags=title"), "Q&A = fun #2\nback\\slash");
    const auto report = test::pythonReport(kMP3Oracle, out);
    const std::map<std::string, std::string> expected{
        {"version", "2.3"},
        {"TIT2", "Ep. 12: Harbours"},
        {"TPE1", "Ann Host"},
        {"TALB", "Tide Talk"},
        {"TYER", "2024"},
        {"TRCK", "12"},
        {"APIC", "3:image/png"},
        {"COMM", "eng::Harbours, tides — and ünïcode ✓"},
        {"CHAP", "Q&A = fun #2,back\\slash"},
        {"CTOC", "1"},
        {"season", "False"},
        {"eyeD3", "2.3.0|Ep. 12: Harbours|Ann Host|Tide Talk|12|Harbours, tides — and ünïcode ✓|3|2|1"},
    };
    EXPECT_EQ(report, expected);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"chapters.txt", "ep_RSS_192k.mp3"}));
}

TEST_F(TagInjectorMedia, UnusableCoverIsLeftOutWithALogLineAndAMissingOneSilently) {
    const TempDir dir;
    fs::create_directories(dir / "folder.png");
    ::mkfifo((dir / "fifo.png").c_str(), 0600);  // FFmpeg would block on it for good
    fs::create_symlink(dir / "gone.png", dir / "dangling.png");
    for (const fs::path& art : {dir / "missing.png", media("cover.webp"), dir / "folder.png", dir / "fifo.png",
                                dir / "dangling.png"}) {
        SCOPED_TRACE(art);
        auto tags = sampleTags();
        tags.artworkURL = art;
        std::vector<std::string> logs;
        const fs::path out = dir / "ep.mp3";
        ID3TagInjector().inject(tags, media("tone.mp3"), out, std::nullopt, [&](const std::string& l) { logs.push_back(l); });
        std::vector<std::string> expected;
        if (art.filename() != "missing.png" && art.filename() != "dangling.png") {
            expected.push_back("Cover art left out: " + art.filename().string() + " is not a PNG or JPEG image.");
        }
        EXPECT_EQ(logs, expected);
        const auto report = test::pythonReport(kMP3Oracle, out);
        EXPECT_EQ(report.at("APIC"), "");
        EXPECT_EQ(report.at("COMM"), "eng::Notes on harbours");
    }
}

TEST_F(TagInjectorMedia, FailedOrStoppedRunKeepsTheOldFile) {
    const TempDir dir;
    const auto garbage = dir.write("garbage.mp3", "not audio at all");
    const fs::path mp3 = dir.write("ep.mp3", "old");
    const fs::path m4a = dir.write("ep.m4a", "old");
    const FFmpegRunner none(std::vector<fs::path>{});
    std::stop_source stopped;
    stopped.request_stop();
    const auto before = namesIn(dir.path());
    EXPECT_THROW(ID3TagInjector().inject(sampleTags(), garbage, mp3, std::nullopt), FFmpegRunner::FFmpegError);
    EXPECT_THROW(ID3TagInjector().inject(sampleTags(), media("tone.mp3"), mp3, std::nullopt, {}, stopped.get_token()),
                 OperationCancelled);
    EXPECT_THROW(ID3TagInjector(none).inject(sampleTags(), media("tone.wav"), m4a, std::nullopt, {}, stopped.get_token()),
                 OperationCancelled);
    EXPECT_EQ(test::readFile(mp3), "old");
    EXPECT_EQ(test::readFile(m4a), "old");
    EXPECT_EQ(namesIn(dir.path()), before);
}

TEST_F(TagInjectorMedia, WithoutFFmpegWritesAnM4AWithEveryItem) {
    const TempDir dir;
    const fs::path out = dir.write("ep_RSS.m4a", "old");
    auto tags = sampleTags();
    tags.artworkURL = media("jpeg_named.png");
    ID3TagInjector(FFmpegRunner(std::vector<fs::path>{})).inject(tags, media("noise.wav"), out, std::nullopt);
    const char* const oracle = R"(import sys
from mutagen.mp4 import MP4
m = MP4(sys.argv[1])
for k in ['\xa9nam', '\xa9ART', '\xa9alb', '\xa9cmt', 'desc', '\xa9day']:
    print('%s\t%s' % (k.strip('\xa9'), m[k][0] if k in m else '-'))
print('trkn\t%d' % m['trkn'][0][0])
print('covr\t%d' % m['covr'][0].imageformat)
print('codec\t%s %d Hz %d ch' % (m.info.codec, m.info.sample_rate, m.info.channels))
print('length\t%.1f' % m.info.length)
)";
    const std::map<std::string, std::string> expected{
        {"nam", "Ep. 12: Harbours"}, {"ART", "Ann Host"}, {"alb", "Tide Talk"}, {"cmt", "Notes on harbours"},
        {"desc", "Notes on harbours"}, {"day", "2024"}, {"trkn", "12"}, {"covr", "13"},  // 13: JPEG
        {"codec", "mp4a.40.2 44100 Hz 2 ch"}, {"length", "3.0"},
    };
    EXPECT_EQ(test::pythonReport(oracle, out), expected);
    const int bitRate = std::stoi(test::probe(out, "stream=bit_rate", "-select_streams a:0"));
    EXPECT_NEAR(bitRate, 192000, 20000);
}

}  // namespace
}  // namespace morvale
