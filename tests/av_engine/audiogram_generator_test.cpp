#include "av_engine/audiogram_generator.h"

#include "audio_fixtures.h"
#include "av_engine/audiogram_frame_renderer.h"
#include "base/c_format.h"
#include "base/cancellation.h"
#include "media_fixtures.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include <sys/stat.h>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Generator = AudiogramGenerator;
using test::TempDir;

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class AudiogramMedia : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media_ = std::make_unique<TempDir>();
        test::makeTone(*media_ / "tone45.wav", 45.0);
        test::makeTone(*media_ / "short.wav", 0.4);
        test::makePicture(*media_ / "cover.png", "png", 400, 300);
    }
    static void TearDownTestSuite() { media_.reset(); }
    static fs::path media(const char* name) { return *media_ / name; }

    static std::unique_ptr<TempDir> media_;
};
std::unique_ptr<TempDir> AudiogramMedia::media_;

TEST(Audiogram, WaveformColours) {
    const struct {
        const char* text;
        std::uint32_t rgb;
    } cases[] = {
        {"#3B82F6", 0x3B82F6}, {"3b82f6", 0x3B82F6}, {" #3B82F6 ", 0x3B82F6}, {"#ff0000", 0xFF0000}, {"12", 0x000012},
        {"#7F00FF00", 0x00FF00},  // bits above 24 ignored
        {"blue", 0x3B82F6},      {"", 0x3B82F6},        {"##ff0000", 0x3B82F6}, {"123456789", 0x3B82F6}, {"-12", 0x3B82F6},
    };
    for (const auto& c : cases) EXPECT_EQ(Generator::waveformColor(c.text), c.rgb) << c.text;
}

TEST(Audiogram, CaptionShowsFromItsLeadUntilItsTail) {
    const std::vector<CaptionCue> cues{{{{"one", 1.0, 1.3}, {"two", 1.4, 1.8}}}, {{{"three", 5.0, 5.5}}}};
    using S = Generator::CaptionState;
    const struct {
        std::int64_t frame;
        std::optional<S> state;
    } cases[] = {
        {0, std::nullopt}, {28, std::nullopt}, {29, S{0, 0}}, {40, S{0, 0}}, {41, S{0, 1}},
        {71, S{0, 1}},     {73, std::nullopt}, {148, std::nullopt}, {149, S{1, 0}}, {181, S{1, 0}}, {184, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(Generator::captionAt(cues, c.frame, 30), c.state) << c.frame;
}

// Rows of one pixel column painted in pure red, above the progress bar.
std::vector<int> redRows(const audiogram::Picture& p, int x) {
    std::vector<int> rows;
    for (int y = 0; y < p.height * 85 / 100; ++y) {
        const std::uint8_t* px = p.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(p.stride) + static_cast<std::size_t>(x) * 4;
        if (px[2] > 200 && px[1] < 40 && px[0] < 40) rows.push_back(y);
    }
    return rows;
}

TEST(Audiogram, BarsTaperFromTheMiddleAndMoveUpForCaptions) {
    const int w = 1080;
    const int h = 1080;
    const double bar = (0.86 * w - 40 * 0.006 * w) / 41;
    const auto barCentreX = [&](int i) { return static_cast<int>(0.07 * w + i * (bar + 0.006 * w) + bar / 2); };
    const std::vector<CaptionCue> cues{{{{"later", 30.0, 31.0}}}};
    const struct {
        bool captions;
        double maxHeight, centre;  // pixels, from the top
    } cases[] = {{false, 0.30 * h, 0.50 * h}, {true, 0.24 * h, 0.44 * h}};
    for (const auto& c : cases) {
        audiogram::FrameRenderer renderer(w, h, 0xFF0000, std::nullopt, c.captions ? cues : std::vector<CaptionCue>{},
                                          std::nullopt, 30);
        const audiogram::Picture& frame = renderer.draw({1.0f, 0.2f}, 0, 10);
        // Frame 0 reads every bar from the first value: the middle at full height, the outer ones at 21/41 of it.
        for (const auto& [i, expected] : {std::pair{20, c.maxHeight}, std::pair{0, c.maxHeight * 21 / 41}, std::pair{40, c.maxHeight * 21 / 41}}) {
            const auto rows = redRows(frame, barCentreX(i));
            ASSERT_FALSE(rows.empty()) << i;
            EXPECT_NEAR(static_cast<double>(rows.size()), expected, 2.0) << i;
            EXPECT_NEAR((rows.front() + rows.back()) / 2.0, c.centre, 1.5) << i;
        }
    }
}

TEST(Audiogram, SpokenWordIsHighlightedFromFrame29) {
    const int size = 1080;
    const std::vector<CaptionCue> cues{{{{"Tom", 1.0, 1.4}, {"&", 1.5, 1.6}, {"Jerry", 1.7, 2.0}}}};
    audiogram::FrameRenderer renderer(size, size, 0xFF0000, std::nullopt, cues, "Tom & Jerry <3", 30);
    const auto redInCaptionBand = [&](std::int64_t frame) {
        const audiogram::Picture& p = renderer.draw({0.0f}, frame, 100);
        int count = 0;
        for (int y = static_cast<int>(0.66 * size); y < static_cast<int>(0.86 * size); ++y) {
            for (int x = 0; x < size; ++x) {
                const std::uint8_t* px = p.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(p.stride) + static_cast<std::size_t>(x) * 4;
                count += px[2] > 200 && px[1] < 60 && px[0] < 60;
            }
        }
        return count;
    };
    EXPECT_EQ(redInCaptionBand(28), 0);
    EXPECT_GT(redInCaptionBand(29), 500);
    EXPECT_EQ(redInCaptionBand(28), 0);  // the caption's rows are restored once it is gone
}

TEST_F(AudiogramMedia, BackgroundsThatCannotBeUsedAreLeftOut) {
    const TempDir dir;
    test::makeGreyPNG(dir / "wide.png", 16385, 2);
    test::makeGreyPNG(dir / "edge.png", 16384, 2);
    test::makePicture(dir / "cover.webp", "libwebp");
    ::mkfifo((dir / "fifo.png").c_str(), 0600);
    const struct {
        fs::path file;
        bool used;
    } cases[] = {{media("cover.png"), true}, {dir / "cover.webp", true}, {dir / "edge.png", true}, {dir / "wide.png", false},
                 {dir.write("text.png", "not a picture"), false}, {dir / "fifo.png", false}, {dir / "missing.png", false}};
    for (const auto& c : cases) {
        const auto picture = audiogram::coverBackground(c.file, 1080, 1920);
        EXPECT_EQ(picture.has_value(), c.used) << c.file;
        if (picture) {
            EXPECT_EQ(std::pair(picture->width, picture->height), std::pair(1080, 1920));
        }
    }
}

TEST_F(AudiogramMedia, RendersFortyFiveSecondsInEachShape) {
    const TempDir dir;
    for (const auto aspect : Generator::allAspectRatios) {
        SCOPED_TRACE(std::string(Generator::key(aspect)));
        const fs::path out = dir / "ep_Audiogram.mp4";
        Generator::AudiogramConfig config;
        config.aspectRatio = aspect;
        config.maxDurationSeconds = 45;
        Generator().generate(media("tone45.wav"), out, config);
        const auto [w, h] = Generator::dimensions(aspect);
        EXPECT_EQ(test::probe(out, "stream=codec_name,profile,width,height,pix_fmt,color_primaries,nb_read_packets",
                              "-select_streams v:0 -count_packets"),
                  "h264\nHigh\n" + std::to_string(w) + "\n" + std::to_string(h) + "\nyuv420p\nbt709\n1350");
        EXPECT_EQ(test::probe(out, "stream=codec_name,sample_rate,channels", "-select_streams a:0"), "aac\n44100\n2");
        for (const char* stream : {"v:0", "a:0"}) {
            EXPECT_NEAR(std::stod(test::probe(out, "stream=duration", std::string("-select_streams ") + stream)), 45.0, 0.05) << stream;
        }
        const std::string bytes = test::readFile(out);
        EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));  // the index comes first

        // Colours survive the trip through BT.709 YUV as a player decodes them: the background, the middle
        // bar and the progress bar's track.
        const fs::path rgb = dir / "frame0.rgb";
        ASSERT_TRUE(test::run("ffmpeg -v error -y -i " + test::quoted(out) + " -frames:v 1 -f rawvideo -pix_fmt rgb24 " + test::quoted(rgb)));
        const std::string pixels = test::readFile(rgb);
        fs::remove(rgb);
        ASSERT_EQ(pixels.size(), static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
        const struct {
            int x, y, r, g, b;
        } probes[] = {{10, 10, 17, 17, 22}, {w / 2, h / 2, 0x3B, 0x82, 0xF6}, {w / 2, h - h * 8 / 100 - 3, 60, 60, 64}};
        for (const auto& p : probes) {
            const auto* px = reinterpret_cast<const unsigned char*>(pixels.data()) + (static_cast<std::size_t>(p.y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(p.x)) * 3;
            EXPECT_NEAR(px[0], p.r, 6) << p.x << "," << p.y;
            EXPECT_NEAR(px[1], p.g, 6) << p.x << "," << p.y;
            EXPECT_NEAR(px[2], p.b, 6) << p.x << "," << p.y;
        }
    }
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"ep_Audiogram.mp4"});
}

// Upload checkers read the rate from the track's length: every frame, the last one too, lasts 1/fps, and
// the audio ends with the video.
TEST_F(AudiogramMedia, EveryFrameLastsOneFrameTime) {
    const TempDir dir;
    const struct {
        double seconds;
        int fps;
    } cases[] = {{45, 30}, {10, 1}, {10, 7}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.fps) + " fps");
        const fs::path out = dir / "ep_Audiogram.mp4";
        Generator::AudiogramConfig config;
        config.maxDurationSeconds = c.seconds;
        config.framesPerSecond = c.fps;
        Generator().generate(media("tone45.wav"), out, config);
        const std::string seconds = cformat("%.6f", c.seconds);
        EXPECT_EQ(test::probe(out, "stream=nb_read_frames,avg_frame_rate,duration", "-select_streams v:0 -count_frames"),
                  cformat("%d/1\n%s\n%.0f", c.fps, seconds.c_str(), c.seconds * c.fps));
        EXPECT_EQ(test::probe(out, "stream=duration", "-select_streams a:0"), seconds);
    }
}

TEST_F(AudiogramMedia, RefusalsAndStopsLeaveTheOldFile) {
    const TempDir dir;
    const fs::path out = dir.write("ep_Audiogram.mp4", "old");
    const auto errorOf = [&](const fs::path& audio, Generator::AudiogramConfig config) -> std::string {
        try {
            Generator().generate(audio, out, config);
        } catch (const Generator::AudiogramError& e) {
            return e.what();
        }
        return "none";
    };
    Generator::AudiogramConfig clipped;
    clipped.maxDurationSeconds = 0.5;
    Generator::AudiogramConfig slow;
    slow.framesPerSecond = 0;
    Generator::AudiogramConfig fast;
    fast.framesPerSecond = 121;
    EXPECT_EQ(errorOf(media("short.wav"), {}), "Audio is too short for an audiogram.");
    EXPECT_EQ(errorOf(media("tone45.wav"), clipped), "Audio is too short for an audiogram.");
    EXPECT_EQ(errorOf(media("tone45.wav"), slow), "Could not set up the audiogram video writer.");
    EXPECT_EQ(errorOf(media("tone45.wav"), fast), "Could not set up the audiogram video writer.");

    std::stop_source source;
    std::jthread stopper([&] {  // once the render has begun its temporary file
        (void)test::waitUntil([&] { return namesIn(dir.path()).size() > 1; });
        source.request_stop();
    });
    EXPECT_THROW(Generator().generate(media("tone45.wav"), out, {}, source.get_token()), OperationCancelled);
    EXPECT_EQ(test::readFile(out), "old");
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"ep_Audiogram.mp4"});
}

}  // namespace
}  // namespace morvale
