#include "batch_core/exif_stripper.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "support/shell_command.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Option = EXIFStripper::StripOption;
using Kind = EXIFStripper::EXIFError::Kind;

using test::commandOutput;

std::string quote(const fs::path& path) { return test::shellQuote(path); }

// Pillow and exiftool make the photos (tagged_photo.py, shared with the benchmark).
fs::path makePhoto(const test::TempDir& temp, const std::string& kind, const std::string& name) {
    const fs::path out = temp / name;
    const std::string command = "/usr/bin/python3 " + quote(MORVALE_TAGGED_PHOTO_SCRIPT) + " " + kind + " " + quote(out);
    if (std::system(command.c_str()) != 0 || !fs::exists(out)) throw std::runtime_error("cannot make " + name);
    return out;
}

// Tags as "Group:Name=value" lines, without the file system's, the tool's and the ICC profile's.
std::string tags(const fs::path& file, const std::string& selection = "") {
    return commandOutput("exiftool -a -G1 -s -n -x System:all -x File:all -x ExifTool:all -x ICC-header:all "
                   "-x ICC_Profile:all -x Composite:all " + selection + " " + quote(file) +
                   " | sed -E 's/^\\[([^]]*)\\] *([^ ]*) *: /\\1:\\2=/'");
}

// Offset of the main image's start-of-scan marker, found by walking the segments: the EXIF
// thumbnail holds an FFDA of its own, so a plain search would find that one.
std::size_t startOfScan(const std::string& jpeg) {
    std::size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        if (static_cast<unsigned char>(jpeg[at]) != 0xFF) return std::string::npos;
        const auto marker = static_cast<unsigned char>(jpeg[at + 1]);
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0xDA) return at;
        at += 2 + (static_cast<std::size_t>(static_cast<unsigned char>(jpeg[at + 2])) << 8 |
                   static_cast<unsigned char>(jpeg[at + 3]));
    }
    return std::string::npos;
}

std::string scanToEnd(const std::string& jpeg) {
    const std::size_t sos = startOfScan(jpeg);
    return sos == std::string::npos ? std::string() : jpeg.substr(sos);
}

mode_t modeOf(const fs::path& file) {
    struct stat status {};
    return ::stat(file.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class EXIFStripperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shared_ = std::make_unique<test::TempDir>();
        photo_ = makePhoto(*shared_, "jpeg", "tagged.jpg");
    }
    static void TearDownTestSuite() { shared_.reset(); }

    fs::path copyPhoto(const std::string& name) const {
        const fs::path copy = temp_ / name;
        fs::copy_file(photo_, copy);
        return copy;
    }

    static std::unique_ptr<test::TempDir> shared_;
    static fs::path photo_;
    test::TempDir temp_;
    EXIFStripper stripper_;
};

std::unique_ptr<test::TempDir> EXIFStripperTest::shared_;
fs::path EXIFStripperTest::photo_;

TEST_F(EXIFStripperTest, EachOptionRewritesTheMetadataAroundTheUntouchedScan) {
    const std::string original = test::readFile(photo_);
    ASSERT_NE(startOfScan(original), std::string::npos);
    ASSERT_TRUE(stripper_.containsGPS(photo_));
    const std::string jfif = "JFIF:JFIFVersion=1 1\nJFIF:ResolutionUnit=0\nJFIF:XResolution=1\nJFIF:YResolution=1\n";

    struct Case {
        Option option;
        std::string selection;
        std::string kept;  // empty: as in the original
    };
    const std::vector<Case> cases{
        {Option::stripGPSOnly, "-Make -Model -DateTimeOriginal -Orientation -ThumbnailLength -IPTC:City", ""},
        {Option::stripAllExifExceptOrientation, "",
         jfif + "IFD0:Orientation=6\nIFD0:Artist=Ilse Varn\nIFD0:Copyright=(c) Ilse Varn\n"},
        {Option::stripEverything, "", jfif},
    };
    const std::string camera = tags(photo_, cases[0].selection);
    ASSERT_EQ(std::count(camera.begin(), camera.end(), '\n'), 6) << camera;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.option));
        const fs::path file = copyPhoto("photo-" + std::to_string(static_cast<int>(c.option)) + ".jpg");
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        stripper_.stripMetadata(file, file, c.option, 0.92);

        EXPECT_EQ(scanToEnd(test::readFile(file)), scanToEnd(original)) << "the compressed image must be copied as it was";
        EXPECT_EQ(modeOf(file), 0640u);
        EXPECT_FALSE(stripper_.containsGPS(file));
        EXPECT_EQ(commandOutput("exiftool -a -G1 -s -gps:all -xmp-exif:gps* " + quote(file)), "");
        EXPECT_EQ(commandOutput("exiftool -b -ICC_Profile " + quote(file)), commandOutput("exiftool -b -ICC_Profile " + quote(photo_)));
        EXPECT_EQ(tags(file, c.selection), c.kept.empty() ? tags(photo_, c.selection) : c.kept);
    }
}

TEST_F(EXIFStripperTest, BadInputsFailWithTheirMessageAndLeaveTheSourceAlone) {
    const std::string jpeg = test::readFile(photo_);
    const std::size_t exifSegment = jpeg.find("Exif");
    ASSERT_NE(exifSegment, std::string::npos);
    std::mt19937 random(7);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(random());

    fs::path readOnly = temp_ / "read-only";
    fs::create_directory(readOnly);
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    if (::access(readOnly.c_str(), W_OK) == 0) readOnly = "/sys";  // root writes anywhere but there

    struct Case {
        const char* what;
        std::function<fs::path()> source;
        fs::path destination;  // empty: in place
        Kind kind;
    };
    const std::vector<Case> cases{
        {"text file", [&] { return temp_.write("notes.jpg", "Seller: 12 Harbour Row\n"); }, {}, Kind::unsupportedImageType},
        {"empty file", [&] { return temp_.write("empty.jpg"); }, {}, Kind::cannotOpenImageSource},
        {"cut inside EXIF", [&] { return temp_.write("cut.jpg", jpeg.substr(0, exifSegment + 200)); }, {},
         Kind::cannotOpenImageSource},
        {"random bytes", [&] { return temp_.write("noise.jpg", noise); }, {}, Kind::unsupportedImageType},
        {"folder", [&] { return fs::path(temp_.path()); }, {}, Kind::cannotOpenImageSource},
        {"FIFO",
         [&] {
             const fs::path fifo = temp_ / "pipe.jpg";
             ::mkfifo(fifo.c_str(), 0600);
             return fifo;
         },
         {}, Kind::cannotOpenImageSource},
        {"600 MiB sparse file",
         [&] {
             const fs::path big = temp_.write("huge.jpg", jpeg);
             fs::resize_file(big, std::uintmax_t{600} << 20);
             return big;
         },
         {}, Kind::cannotOpenImageSource},
        {"missing file", [&] { return temp_ / "gone.jpg"; }, {}, Kind::cannotOpenImageSource},
        {"destination in a missing folder", [&] { return copyPhoto("good.jpg"); }, temp_ / "missing/out.jpg",
         Kind::failedToWriteImage},
        {"read-only destination folder", [&] { return copyPhoto("good2.jpg"); }, readOnly / "out.jpg",
         Kind::failedToWriteImage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path source = c.source();
        const fs::path destination = c.destination.empty() ? source : c.destination;
        const bool regular = fs::is_regular_file(source);
        const std::string before = regular && fs::file_size(source) < (1u << 20) ? test::readFile(source) : "";
        const auto size = regular ? fs::file_size(source) : 0;

        // Run apart, so that a call blocked on the FIFO fails the case instead of hanging the suite.
        auto call = std::async(std::launch::async, [&] {
            const bool located = stripper_.containsGPS(source);
            try {
                stripper_.stripMetadata(source, destination, Option::stripGPSOnly, 0.92);
            } catch (const EXIFStripper::EXIFError& error) {
                return std::make_tuple(located, error.kind(), std::string(error.what()), error.reason());
            }
            return std::make_tuple(located, Kind::cannotOpenImageSource, std::string("no error"), std::error_code());
        });
        if (call.wait_for(test::hangGuard) != std::future_status::ready) {
            ADD_FAILURE() << "blocked";
            ::close(::open(source.c_str(), O_WRONLY | O_NONBLOCK));  // lets a reader of the FIFO go on
        }
        const auto [located, kind, message, reason] = call.get();
        // A failed write says why, for callers that pass the reason on.
        EXPECT_EQ(static_cast<bool>(reason), kind == Kind::failedToWriteImage) << reason.message();
        EXPECT_EQ(located, !c.destination.empty()) << "only the good photos carry a location";
        EXPECT_EQ(kind, c.kind);
        const fs::path named = kind == Kind::failedToWriteImage ? destination : source;
        EXPECT_EQ(message, kind == Kind::unsupportedImageType ? "Unsupported image type for " + named.filename().string()
                           : kind == Kind::cannotOpenImageSource ? "Cannot open image source at " + named.string()
                                                                 : "Failed to finalize and write image to " + named.string());
        EXPECT_EQ(regular ? fs::file_size(source) : 0, size);
        if (!before.empty()) {
            EXPECT_EQ(test::readFile(source), before);
        }
        if (!c.destination.empty()) {
            EXPECT_FALSE(fs::exists(c.destination));
        }
    }
    EXPECT_FALSE(fs::exists(temp_ / "missing"));
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(temp_.path(), error)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".mx-")) << "temporary file left behind";
    }
}

TEST_F(EXIFStripperTest, OtherFormatsAndDamagedScans) {
    // A scan cut short is no metadata problem: it is written back as the same truncated image.
    const std::string jpeg = test::readFile(photo_);
    const fs::path truncated = temp_.write("truncated.jpg", jpeg.substr(0, startOfScan(jpeg) + 4000));
    stripper_.stripMetadata(truncated, truncated, Option::stripGPSOnly, 0.92);
    EXPECT_EQ(scanToEnd(test::readFile(truncated)), jpeg.substr(startOfScan(jpeg), 4000));
    EXPECT_FALSE(stripper_.containsGPS(truncated));

    // BMP cannot carry rewritten metadata: it is re-encoded, and stays a BMP with the same pixels.
    const fs::path bmp = makePhoto(temp_, "bmp", "plain.bmp");
    const fs::path bmpOut = temp_ / "plain-out.bmp";
    stripper_.stripMetadata(bmp, bmpOut, Option::stripEverything, 0.92);
    const std::string compare = "/usr/bin/python3 -c \"import sys; from PIL import Image, ImageChops; "
                                "a, b = Image.open(sys.argv[1]), Image.open(sys.argv[2]); "
                                "print(b.format, b.size, ImageChops.difference(a.convert('RGB'), "
                                "b.convert('RGB')).getbbox())\" ";
    EXPECT_EQ(commandOutput(compare + quote(bmp) + " " + quote(bmpOut)), "BMP (64, 48) None\n");

    // HEIC is re-encoded too; a location only its decoder sees counts, and goes.
    const fs::path heic = temp_ / "located.heic";
    ASSERT_EQ(std::system(("oiiotool --pattern checker 64x48 3 -d uint8 --attrib GPS:LatitudeRef N -o " + quote(heic) +
                           " >/dev/null 2>&1").c_str()), 0);
    ASSERT_TRUE(stripper_.containsGPS(heic));
    stripper_.stripMetadata(heic, heic, Option::stripGPSOnly, 0.92);
    EXPECT_FALSE(stripper_.containsGPS(heic));
    EXPECT_EQ(test::readFile(heic).substr(4, 8), "ftypheic");

    // A multi-page TIFF keeps its metadata rewritable in place: both pages stay.
    const fs::path tiff = makePhoto(temp_, "tiff2", "pages.tif");
    ASSERT_TRUE(stripper_.containsGPS(tiff));
    for (const auto option : {Option::stripGPSOnly, Option::stripAllExifExceptOrientation, Option::stripEverything}) {
        stripper_.stripMetadata(tiff, tiff, option, 0.92);
        EXPECT_FALSE(stripper_.containsGPS(tiff));
        EXPECT_EQ(commandOutput("/usr/bin/python3 -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                          "print(im.n_frames, im.size, (im.seek(1), im.size)[1])\" " + quote(tiff)),
                  "2 (64, 48) (32, 24)\n");
    }

    // Re-encoding writes image 0 only, so a file of frames that cannot be rewritten is refused.
    const fs::path gif = makePhoto(temp_, "gif2", "frames.gif");
    const std::string gifBytes = test::readFile(gif);
    try {
        stripper_.stripMetadata(gif, gif, Option::stripGPSOnly, 0.92);
        ADD_FAILURE() << "a two-frame GIF was rewritten";
    } catch (const EXIFStripper::EXIFError& error) {
        EXPECT_STREQ(error.what(), "Unsupported image type for frames.gif");
    }
    EXPECT_EQ(test::readFile(gif), gifBytes);
}

// JPEGs too damaged to walk segment by segment are decoded and encoded anew; what the decoder
// makes of their metadata (an empty description or artist, a comment filling a whole segment)
// must not take the process down.
TEST_F(EXIFStripperTest, DamagedJpegsFailCleanlyOrComeOutWithoutLocation) {
    const fs::path data = fs::path(MORVALE_SOURCE_DIR) / "tests" / "batch_core" / "data";
    std::vector<fs::path> sources;
    for (const char* name :
         {"damaged_empty_description.jpg", "damaged_empty_artist.jpg", "damaged_empty_artist_nan_resolution.jpg"}) {
        sources.push_back(data / name);
    }
    // A comment the decoder reads as a description too long for the EXIF segment it would go into.
    const std::string damaged = test::readFile(data / "damaged_empty_artist.jpg");
    sources.push_back(temp_.write("damaged_long_comment.jpg", damaged.substr(0, 20) + "\xFF\xFE\xFF\xFD" +
                                                                  std::string(65531, 'x') + damaged.substr(20)));
    for (const fs::path& source : sources) {
        for (const auto option : {Option::stripGPSOnly, Option::stripAllExifExceptOrientation, Option::stripEverything}) {
            SCOPED_TRACE(source.filename().string() + " option " + std::to_string(static_cast<int>(option)));
            const fs::path out = temp_ / (std::to_string(static_cast<int>(option)) + source.filename().string());
            try {
                stripper_.stripMetadata(source, out, option, 0.92);
            } catch (const EXIFStripper::EXIFError& error) {
                EXPECT_EQ(error.path(), error.kind() == Kind::failedToWriteImage ? out : source);
                EXPECT_FALSE(fs::exists(out));
                continue;
            }
            EXPECT_FALSE(stripper_.containsGPS(out));
            EXPECT_EQ(commandOutput("exiftool -a -G1 -s -gps:all -xmp-exif:gps* " + quote(out)), "");
            if (option != Option::stripGPSOnly) {
                EXPECT_EQ(tags(out, "-Make -Artist -ImageDescription"), "");
            }
        }
    }
}

TEST_F(EXIFStripperTest, LocationOnlyInXMPCounts) {
    const fs::path file = copyPhoto("xmp-only.jpg");
    ASSERT_EQ(std::system(("exiftool -q -overwrite_original -gps:all= " + quote(file)).c_str()), 0);
    ASSERT_NE(tags(file, "-xmp-exif:gps*"), "");
    EXPECT_TRUE(stripper_.containsGPS(file));
    stripper_.stripMetadata(file, file, Option::stripGPSOnly, 0.92);
    EXPECT_FALSE(stripper_.containsGPS(file));
}

TEST_F(EXIFStripperTest, ConcurrentStripsGiveTheSameBytesAsOneByOne) {
    constexpr int count = 64;
    std::vector<fs::path> together;
    std::vector<std::string> alone;
    for (int i = 0; i < count; ++i) {
        const Option option = static_cast<Option>(i % 3);
        const fs::path single = copyPhoto("single.jpg");
        stripper_.stripMetadata(single, single, option, 0.92);
        alone.push_back(test::readFile(single));
        fs::remove(single);
        together.push_back(copyPhoto("many-" + std::to_string(i) + ".jpg"));
    }
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; i < count; i += 8) {
                    const auto& photo = together[static_cast<std::size_t>(i)];
                    try {
                        stripper_.stripMetadata(photo, photo, static_cast<Option>(i % 3), 0.92);
                    } catch (const std::exception& error) {
                        ADD_FAILURE() << i << ": " << error.what();
                    }
                }
            });
        }
    }
    for (std::size_t i = 0; i < together.size(); ++i) EXPECT_EQ(test::readFile(together[i]), alone[i]) << i;
}

}  // namespace
}  // namespace morvale
