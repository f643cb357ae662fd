// What reaches the package folders: the whole logo on every portal's web frame, nothing unstripped
// under an output name when the disk fills up, and decode failures that name their cause.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>

#include "image_engine/image_loader.h"
#include "listing_test_support.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Portal = VarnholtPreset::Portal;
using test::Rgba;
using test::TempDir;

struct Box {
    int left = 0, top = 0, right = -1, bottom = -1;  // inclusive; empty when right < left
};

// Where the magenta logo landed.
Box magentaBox(const PackedTexture& image) {
    Box box{image.width, image.height, -1, -1};
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const std::uint8_t* px = image.rgba.data() + (static_cast<std::size_t>(y) * image.width + x) * 4;
            if (px[0] > 200 && px[1] < 90 && px[2] > 200) {
                box.left = std::min(box.left, x);
                box.top = std::min(box.top, y);
                box.right = std::max(box.right, x);
                box.bottom = std::max(box.bottom, y);
            }
        }
    }
    return box;
}

TEST(ListingWatermark, TheWebFileShowsTheWholeLogoAtItsMargin) {
    TempDir dir;
    const fs::path logo = dir / "logo.png";
    CoreImagePipeline::shared().write(test::picture(200, 100, [](int, int) { return Rgba{255, 0, 255, 255}; }), logo, 1);
    const auto grey = [](int, int) { return Rgba{120, 120, 120, 255}; };
    for (const Portal portal : {Portal::zillow, Portal::airbnb}) {
        for (const PixelSize shape : {PixelSize{900, 600}, PixelSize{800, 600}}) {
            SCOPED_TRACE(std::string(VarnholtPreset::rawValue(portal)) + " " + std::to_string(shape.width) + "x" +
                         std::to_string(shape.height));
            const fs::path photo = test::writeJpeg(dir / "IMG_0001.jpg", test::picture(shape.width, shape.height, grey));
            VarnholtPreset preset = test::listingPreset();
            preset.autoStraightenVerticals = false;
            preset.exportPrintPackage = false;
            preset.watermarkURL = logo;
            preset.watermarkOpacity = 1.0;
            preset.setPortal(portal);
            fs::remove_all(dir / "out");
            const test::RunResult run = test::runListingJob(preset, {photo}, dir / "out");
            ASSERT_EQ(run.items[0].outputs.size(), 1u) << run.items[0].message;

            // Stripped to its orientation, the web file still says that its colours are sRGB.
            EXPECT_NE(test::exiftool("-s3 -ICC_Profile:ProfileDescription", dir / "out" / run.items[0].outputs[0])
                          .find("sRGB"),
                      std::string::npos);
            const PackedTexture web = ImageLoader::loadRGBA8(dir / "out" / run.items[0].outputs[0]);
            const Box box = magentaBox(web);
            // Width 0.18 of the web frame, its height following; margins 0.03 of the frame's sides.
            const double width = 0.18 * web.width;
            const double right = web.width - 0.03 * web.width;
            const double bottom = web.height - 0.03 * web.height;
            EXPECT_NEAR(box.right + 1, right, 2.0);
            EXPECT_NEAR(box.bottom + 1, bottom, 2.0);
            EXPECT_NEAR(box.right + 1 - box.left, width, 3.0);
            EXPECT_NEAR(box.bottom + 1 - box.top, width / 2, 3.0);
        }
    }
}

TEST(ListingFailure, DecodeFailuresNameTheirCause) {
    TempDir dir;
    const std::string bytes = test::readFile(test::writeJpeg(dir / "good.jpg", test::picture(64, 48, test::ramp)));
    // The same file claiming 30000 x 30000 pixels in its frame header.
    std::string huge = bytes;
    const std::size_t frame = huge.find("\xFF\xC0");
    ASSERT_NE(frame, std::string::npos);
    huge.replace(frame + 5, 4, "\x75\x30\x75\x30");

    const fs::path loop = dir / "loop.jpg";
    fs::create_symlink(loop.filename(), loop);

    const std::pair<fs::path, std::string> cases[] = {
        {dir.write("huge.jpg", huge), "huge.jpg (30000 × 30000 is too large)"},
        {dir / "gone.jpg", "gone.jpg (the file does not exist)"},
        {loop, "loop.jpg (Too many levels of symbolic links)"},
        {dir.write("cut.jpg", bytes.substr(0, 40)), "cut.jpg (not a readable image ("},
        {dir.write("notes.jpg", "not a photo"), "notes.jpg (not a readable image ("},
    };
    for (const auto& [file, cause] : cases) {
        SCOPED_TRACE(file.filename().string());
        const test::RunResult run = test::runListingJob(test::listingPreset(), {file}, dir / "out");
        EXPECT_EQ(run.items[0].status, ProcessingStatus::failed);
        EXPECT_EQ(run.items[0].message.rfind("Could not decode architectural image at " + cause, 0), 0u)
            << run.items[0].message;
    }
}

// -- A full disk -----------------------------------------------------------------------------------

// Run inside a mount namespace of its own (see below) with a small tmpfs at MORVALE_FULL_DISK and
// MORVALE_ROOM bytes left free on it.
TEST(ListingFullDisk, DISABLED_InsideASmallTmpfs) {
    const char* mount = std::getenv("MORVALE_FULL_DISK");
    ASSERT_NE(mount, nullptr);
    const fs::path disk = mount;
    const auto room = static_cast<std::uintmax_t>(std::strtoull(std::getenv("MORVALE_ROOM"), nullptr, 10));
    const fs::path photo = std::getenv("MORVALE_PHOTO");
    const bool print = std::getenv("MORVALE_PRINT") != nullptr;

    struct statvfs info {};
    ASSERT_EQ(::statvfs(disk.c_str(), &info), 0);
    const std::uintmax_t free = static_cast<std::uintmax_t>(info.f_bavail) * info.f_frsize;
    ASSERT_GT(free, room);
    const int filler = ::open((disk / "filler").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(::posix_fallocate(filler, 0, static_cast<off_t>(free - room)), 0);
    ::close(filler);

    VarnholtPreset preset = test::listingPreset();
    preset.exportPrintPackage = print;
    const test::RunResult run = test::runListingJob(preset, {photo}, disk / "out");
    EXPECT_EQ(run.items[0].status, ProcessingStatus::failed);
    EXPECT_NE(run.items[0].message.find(": No space left on device"), std::string::npos) << run.items[0].message;
    EXPECT_EQ(run.items[0].message.rfind("Failed to finalize and write image to " + (disk / "out").string(), 0), 0u)
        << run.items[0].message;
    // Nothing half-written and nothing unstripped under an output name: at most a complete print
    // without location, no temporary file.
    for (const std::string& name : test::filesBelow(disk / "out")) {
        SCOPED_TRACE(name);
        EXPECT_EQ(name, "Print_Package/1042_Maple_Lane_01_Print.jpg");
        EXPECT_EQ(test::exiftool("-a -G1 -gps:all -xmp-exif:gps*", disk / "out" / name), "");
        EXPECT_NO_THROW(ImageLoader::loadRGBA8(disk / "out" / name));
    }
    const std::string web = (disk / "out/MLS_Web_Package/1042_Maple_Lane_01_Web.jpg").string();
    EXPECT_FALSE(fs::exists(web));
}

TEST(ListingFullDisk, NoUnstrippedFileIsLeftUnderAnOutputName) {
    if (test::run("unshare -rm true 2>/dev/null") != 0) GTEST_SKIP() << "no mount namespace can be made here";
    TempDir dir;
    const fs::path photo = test::taggedPhoto(dir / "shoot/IMG_0001.jpg", 1500, 1000, test::noise, 0.9);
    ASSERT_TRUE(test::tag({{photo, "-SerialNumber=K7-004519 -Exif:SerialNumber=K7-004519"}}));
    ASSERT_NE(test::exiftool("-s3 -SerialNumber", photo), "");
    // The sizes of the two outputs on a disk with room.
    const test::RunResult fits = test::runListingJob(test::listingPreset(), {photo}, dir / "roomy");
    ASSERT_EQ(fits.items[0].outputs.size(), 2u) << fits.items[0].message;
    const std::uintmax_t printSize = fs::file_size(dir / "roomy" / fits.items[0].outputs[0]);
    const std::uintmax_t webSize = fs::file_size(dir / "roomy" / fits.items[0].outputs[1]);
    // The web file carries the camera until it is stripped, which is what must never show.
    ASSERT_EQ(test::exiftool("-s3 -Make -Model -SerialNumber", dir / "roomy" / fits.items[0].outputs[1]), "");

    struct Case {
        std::string name;
        bool print;
        std::uintmax_t room;
    };
    // Half a file fails the encoder's write; one and a half fail the stripper's rewrite.
    const Case cases[] = {
        {"web: encoded file", false, webSize / 2},
        {"web: stripped copy", false, webSize * 3 / 2},
        {"print: encoded file", true, printSize / 2},
        {"print: stripped copy", true, printSize * 3 / 2},
    };
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path mount = dir / "disk";
        fs::create_directories(mount);
        const std::string command =
            "MORVALE_FULL_DISK=" + test::shellQuote(mount) + " MORVALE_ROOM=" + std::to_string(c.room) +
            " MORVALE_PHOTO=" + test::shellQuote(photo) + (c.print ? " MORVALE_PRINT=1" : "") +
            " unshare -rm sh -c " +
            test::shellQuote("mount -t tmpfs -o size=16m none " + test::shellQuote(mount) + " && exec " +
                             test::shellQuote(self) +
                             " --gtest_also_run_disabled_tests --gtest_filter=ListingFullDisk.DISABLED_InsideASmallTmpfs") +
            " 2>&1";
        const std::string output = test::capture(command + "; echo \"exit $?\"");
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    }
}

}  // namespace
}  // namespace morvale
