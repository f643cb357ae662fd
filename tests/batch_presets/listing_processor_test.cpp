// The listing preset end to end through the batch queue, on small photos tagged by exiftool, and
// its crop and size-cap rules on their own.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <regex>

#include "batch_presets/listing_processor.h"
#include "image_engine/image_loader.h"
#include "listing_test_support.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Portal = VarnholtPreset::Portal;
using Aspect = VarnholtPreset::WebAspect;
using test::TempDir;

PixelSize sizeOf(const fs::path& file) {
    const PackedTexture pixels = ImageLoader::loadRGBA8(file);
    return {pixels.width, pixels.height};
}

std::vector<std::string> texts(const test::ItemOutcome& item) {
    std::vector<std::string> out;
    for (const auto& [fraction, text] : item.reports) out.push_back(std::to_string(fraction).substr(0, 4) + " " + text);
    return out;
}

class ListingRun : public ::testing::Test {
protected:
    fs::path photo(const std::string& name, int width, int height) {
        const fs::path file = test::taggedPhoto(dir / "shoot" / name, width, height);
        EXPECT_FALSE(file.empty()) << "exiftool could not tag " << name;
        return file;
    }
    fs::path out() const { return dir / "out"; }

    TempDir dir;
};

TEST_F(ListingRun, WritesPrintAndWebPackagesPerPortal) {
    const fs::path landscape = photo("IMG_0001.jpg", 600, 400);
    const fs::path portrait = photo("IMG_0002.jpg", 300, 400);
    const fs::path logo = test::writeJpeg(dir / "logo.png", test::picture(100, 50, test::ramp));
    struct Case {
        Portal portal;
        std::function<void(VarnholtPreset&)> edit;
        std::string webFolder;
        PixelSize landscapeWeb;
    };
    const Case cases[] = {
        {Portal::mls, [&](VarnholtPreset& p) { p.watermarkURL = logo; }, "MLS_Web_Package", {600, 400}},
        {Portal::zillow, {}, "Zillow_Package", {533, 400}},
        {Portal::airbnb, {}, "Airbnb_Package", {600, 400}},
        {Portal::custom, [](VarnholtPreset& p) { p.webAspect = Aspect::sixteenNine; p.maxWebDimension = 300; p.maxWebFileSizeKB = 60; },
         "MLS_Web_Package", {300, 169}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(VarnholtPreset::rawValue(c.portal)));
        fs::remove_all(out());
        VarnholtPreset preset = test::listingPreset();
        preset.setPortal(c.portal);
        if (c.edit) c.edit(preset);
        const test::RunResult run = test::runListingJob(preset, {landscape, portrait}, out());
        ASSERT_EQ(run.report.successCount, 2) << run.logText() << run.items[0].message;

        for (const int index : {1, 2}) {
            const auto& item = run.items[static_cast<std::size_t>(index - 1)];
            const std::string stem = "1042_Maple_Lane_0" + std::to_string(index);
            const std::string print = "Print_Package/" + stem + "_Print.jpg";
            const std::string web = c.webFolder + "/" + stem + "_Web.jpg";
            EXPECT_EQ(item.outputs, (std::vector<std::string>{print, web}));
            const PixelSize source = index == 1 ? PixelSize{600, 400} : PixelSize{300, 400};
            EXPECT_EQ(sizeOf(out() / print), source);
            // Only landscape photos are cropped; the portrait fits every portal as it is.
            EXPECT_EQ(sizeOf(out() / web), index == 1 ? c.landscapeWeb
                                                      : (c.portal == Portal::custom ? PixelSize{225, 300} : source));
            EXPECT_LE(fs::file_size(out() / web), static_cast<std::uintmax_t>(preset.maxWebFileSizeKB) * 1024);

            for (const auto& file : {out() / print, out() / web}) {
                EXPECT_EQ(test::exiftool("-a -G1 -gps:all -xmp-exif:gps*", file), "") << file;
                EXPECT_EQ(test::exiftool("-a -G1 -s -ThumbnailImage", file), "") << file;
            }
            EXPECT_EQ(test::exiftool("-a -G1 -s -s -n -EXIF:all -XMP:all", out() / web), "[IFD0] Orientation: 1\n");
            EXPECT_EQ(test::exiftool("-s -s -s -Model -DateTimeOriginal -Orientation -n", out() / print),
                      "Halden K7\n2024:05:06 07:08:09\n1\n");
        }
        std::vector<std::string> expected{"0.15 Analyzing architectural lines..."};
        if (c.portal == Portal::mls) expected.push_back("0.35 Applying watermark...");
        expected.push_back("0.55 Rendering Full-Res Print Package...");
        expected.push_back(c.portal == Portal::mls    ? "0.80 Optimizing Web MLS Package (< 2MB)..."
                           : c.portal == Portal::custom ? "0.80 Optimizing Web MLS Package (< 0MB)..."
                                                        : "0.80 Optimizing Web MLS Package (< 10MB)...");
        expected.push_back("1.00 Exported 2 package variations.");
        EXPECT_EQ(texts(run.items[0]), expected);
    }
}

TEST_F(ListingRun, WithoutStrippingBothFilesKeepTheLocation) {
    VarnholtPreset preset = test::listingPreset();
    preset.stripGPSMetadata = false;
    const test::RunResult run = test::runListingJob(preset, {photo("IMG_0001.jpg", 600, 400)}, out());
    ASSERT_EQ(run.items[0].outputs.size(), 2u) << run.items[0].message;
    for (const auto& file : run.items[0].outputs) {
        EXPECT_NE(test::exiftool("-s -s -s -n -GPSLatitude", out() / file), "") << file;
        EXPECT_NE(test::exiftool("-s -s -s -XMP-exif:GPSLatitude", out() / file), "") << file;
    }
}

TEST_F(ListingRun, FailuresNameTheirCauseAndLeaveNothingOrKeepThePrint) {
    const fs::path fifo = dir / "logo-fifo.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directories(dir / "logo-folder.png");
    const fs::path noisy = test::taggedPhoto(dir / "shoot/NOISE.jpg", 4000, 3000, test::noise, 0.8);
    const fs::path plain = photo("IMG_0001.jpg", 600, 400);
    const fs::path source = test::taggedPhoto(dir / "own/Print_Package/1042_Maple_Lane_01_Print.jpg", 300, 200);

    struct Case {
        std::string name;
        std::function<void(VarnholtPreset&)> edit;
        std::vector<fs::path> files;
        fs::path output;
        std::string message;                // of every item
        std::vector<std::string> leftFiles; // below the output folder
    };
    const std::string logoMessage = "Could not read watermark image ";
    const Case cases[] = {
        {"missing logo", [&](VarnholtPreset& p) { p.watermarkURL = dir / "gone.png"; }, {plain}, out(), logoMessage + "gone.png", {}},
        {"folder logo", [&](VarnholtPreset& p) { p.watermarkURL = dir / "logo-folder.png"; }, {plain}, out(), logoMessage + "logo-folder.png", {}},
        {"FIFO logo", [&](VarnholtPreset& p) { p.watermarkURL = fifo; }, {plain}, out(), logoMessage + "logo-fifo.png", {}},
        {"size not a number", [](VarnholtPreset& p) { p.maxWebDimension = std::nan(""); }, {plain}, out(),
         "The web image's longest side must be a number of at least 1 pixel (it is nan).", {}},
        {"size below a pixel", [](VarnholtPreset& p) { p.maxWebDimension = 0.5; }, {plain}, out(),
         "The web image's longest side must be a number of at least 1 pixel (it is 0.5).", {}},
        {"no cap", [](VarnholtPreset& p) { p.maxWebFileSizeKB = 0; }, {plain}, out(),
         "The web file-size cap must be from 1 to 9007199254740991 KB (it is 0 KB).", {}},
        {"cap overflows bytes", [](VarnholtPreset& p) { p.maxWebFileSizeKB = std::numeric_limits<std::int64_t>::max() / 1000; },
         {plain}, out(), "The web file-size cap must be from 1 to 9007199254740991 KB (it is 9223372036854775 KB).", {}},
        {"print over a source", {}, {source}, dir / "own",
         "Won't overwrite " + source.string() + ": this item reads it. Add {name} to the naming pattern or choose another output folder.",
         {"Print_Package/1042_Maple_Lane_01_Print.jpg"}},
        {"cap out of reach", [](VarnholtPreset& p) { p.maxWebFileSizeKB = 50; p.autoStraightenVerticals = false; }, {noisy}, out(),
         "Could not get the web image under 50 KB", {"Print_Package/1042_Maple_Lane_01_Print.jpg"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out());
        VarnholtPreset preset = test::listingPreset();
        if (c.edit) c.edit(preset);
        const test::RunResult run = test::runListingJob(preset, c.files, c.output);
        for (const auto& item : run.items) {
            EXPECT_EQ(item.status, ProcessingStatus::failed);
            EXPECT_EQ(item.message, c.message);
            EXPECT_TRUE(item.outputs.empty());
        }
        EXPECT_EQ(test::filesBelow(c.output), c.leftFiles);
        const bool printKept = c.name == "cap out of reach";
        EXPECT_EQ(run.logged("kept " + (out() / "Print_Package/1042_Maple_Lane_01_Print.jpg").string()), printKept)
            << run.logText();
    }
}

TEST_F(ListingRun, TwoItemsOnOneNameTheLaterFails) {
    const std::vector<fs::path> files{photo("IMG_0001.jpg", 300, 200), photo("IMG_0002.jpg", 300, 200)};
    const test::RunResult run = test::runListingJob(test::listingPreset(), files, out(), "{address}_{size}", 1);
    EXPECT_EQ(run.items[0].status, ProcessingStatus::completed) << run.items[0].message;
    EXPECT_EQ(run.items[1].status, ProcessingStatus::failed);
    EXPECT_EQ(run.items[1].message, "Won't overwrite 1042_Maple_Lane_Print.jpg: it is already the output of " +
                                        files[0].string() + " in this run, and " + files[1].string() +
                                        " would write it too. Add {index} or {name} to the naming pattern.");
    EXPECT_EQ(test::filesBelow(out()), (std::vector<std::string>{"MLS_Web_Package/1042_Maple_Lane_Web.jpg",
                                                                 "Print_Package/1042_Maple_Lane_Print.jpg"}));
}

TEST_F(ListingRun, StraighteningLogsTheRollAndNothingWhenOff) {
    const fs::path wall = dir / "shoot/WALL.jpg";
    test::writeJpeg(wall, test::picture(900, 600, test::leaningWall(900, 600, 3.0)));
    const fs::path flat = photo("FLAT.jpg", 300, 200);
    VarnholtPreset preset = test::listingPreset();
    preset.exportWebPackage = preset.exportPrintPackage = false;
    const test::RunResult run = test::runListingJob(preset, {wall, flat}, out());
    const std::regex roll("WALL: corrected -?[23]\\.[0-9]{2}° roll, -?[0-9]+\\.[0-9]% keystone \\([0-9]+ lines\\)");
    EXPECT_TRUE(std::any_of(run.log.begin(), run.log.end(), [&](const std::string& l) { return std::regex_match(l, roll); }))
        << run.logText();
    EXPECT_TRUE(run.logged("FLAT: verticals already straight (0 lines checked)")) << run.logText();
    EXPECT_EQ(run.logText().find("-0.00°"), std::string::npos);
    EXPECT_EQ(run.items[1].reports.back().second, "Exported 0 package variations.");
    EXPECT_EQ(run.report.successCount, 2);

    preset.autoStraightenVerticals = false;
    const test::RunResult off = test::runListingJob(preset, {wall}, out());
    EXPECT_EQ(off.logText().find("WALL:"), std::string::npos) << off.logText();
    EXPECT_EQ(off.items[0].reports.front().second, "Analyzing architectural lines...");
}

// A -2 / 0 / +2 EV bracket one second apart; each shot carries its own camera name so that the
// merged file shows whose metadata it took.
TEST_F(ListingRun, BracketsMergeAmongTheRunsFilesOnly) {
    const std::vector<std::string> names{"DSC_0101.jpg", "DSC_0102.jpg", "DSC_0103.jpg"};
    const char* exposure[] = {"0.04", "0.01", "0.0025"};
    std::vector<std::pair<fs::path, std::string>> tags;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const fs::path file = dir / "bracket" / names[i];
        const int gain = 60 * static_cast<int>(i);
        test::writeJpeg(file, test::picture(240, 160, [&](int x, int y) {
                            const test::Rgba r = test::ramp(x, y);
                            return test::Rgba{static_cast<std::uint8_t>(std::min(255, r.r / 2 + gain)), r.g, r.b, 255};
                        }));
        tags.emplace_back(file, "-Model=Shot" + std::to_string(i + 1) + " '-DateTimeOriginal=2024:05:01 10:00:0" +
                                    std::to_string(i) + "' -ExposureTime=" + exposure[i] + " -FNumber=8 -ISO=100");
    }
    ASSERT_TRUE(test::tag(tags));
    const auto shot = [&](int n) { return dir / "bracket" / names[static_cast<std::size_t>(n - 1)]; };

    struct Case {
        std::vector<int> shots;
        std::string mergeLine;           // empty: none
        std::vector<std::string> skips;  // per item, empty: completed
        std::string model;               // of the first item's print file
    };
    const Case cases[] = {
        {{1, 2, 3}, "DSC_0101: merged 3 exposures (DSC_0101.jpg, DSC_0102.jpg, DSC_0103.jpg)",
         {"", "DSC_0102 is merged into DSC_0101.jpg's bracket", "DSC_0103 is merged into DSC_0101.jpg's bracket"}, "Shot2"},
        {{2, 3}, "DSC_0102: merged 2 exposures (DSC_0102.jpg, DSC_0103.jpg)",
         {"", "DSC_0103 is merged into DSC_0102.jpg's bracket"}, "Shot3"},
        {{3}, "", {""}, "Shot3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shots.size());
        fs::remove_all(out());
        VarnholtPreset preset = test::listingPreset();
        preset.mergeBrackets = true;
        preset.autoStraightenVerticals = false;
        std::vector<fs::path> files;
        for (const int n : c.shots) files.push_back(shot(n));
        const test::RunResult run = test::runListingJob(preset, files, out(), "{name}_{size}");
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(run.items[i].status, c.skips[i].empty() ? ProcessingStatus::completed : ProcessingStatus::skipped);
            EXPECT_EQ(run.items[i].message, c.skips[i]);
        }
        const bool merged = !c.mergeLine.empty();
        EXPECT_EQ(run.logged(c.mergeLine), merged) << run.logText();
        const auto& lead = run.items[0].reports;
        EXPECT_EQ(!lead.empty() && lead.front().second == "Merging " + std::to_string(files.size()) + " exposures...", merged);
        const std::string lead_name = files[0].stem().string();
        EXPECT_EQ(test::filesBelow(out()), (std::vector<std::string>{"MLS_Web_Package/" + lead_name + "_Web.jpg",
                                                                     "Print_Package/" + lead_name + "_Print.jpg"}));
        EXPECT_EQ(test::exiftool("-s -s -s -Model", out() / ("Print_Package/" + lead_name + "_Print.jpg")), c.model + "\n");
    }
}

TEST(ListingCrop, OnlyLandscapePhotosLoseTheirSides) {
    struct Case {
        int width, height;
        Aspect aspect;
        int wantWidth, wantHeight, firstColumn, firstRow;
    };
    const Case cases[] = {
        {600, 400, Aspect::fourThree, 533, 400, 34, 0},    // (600 - 533) / 2 = 33.5 rounds away from zero
        {400, 300, Aspect::sixteenNine, 400, 225, 0, 38},  // 37.5
        {600, 400, Aspect::threeTwo, 600, 400, 0, 0},
        {601, 400, Aspect::threeTwo, 600, 400, 1, 0},      // 0.5 px each side
        {300, 400, Aspect::fourThree, 300, 400, 0, 0},     // portrait
        {400, 400, Aspect::sixteenNine, 400, 400, 0, 0},   // square
        {600, 400, Aspect::original, 600, 400, 0, 0},
    };
    for (const Case& c : cases) {
        const PipelineImage image = test::picture(c.width, c.height, [](int x, int y) {
            return test::Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 0, 255};
        });
        const PipelineImage crop = ListingProcessor::cropped(image, c.aspect);
        EXPECT_EQ(crop.width(), c.wantWidth) << c.width << "x" << c.height;
        EXPECT_EQ(crop.height(), c.wantHeight) << c.width << "x" << c.height;
        EXPECT_EQ(test::pixelAt(crop.pixels, 0, 0).r, static_cast<std::uint8_t>(c.firstColumn));
        EXPECT_EQ(test::pixelAt(crop.pixels, 0, 0).g, static_cast<std::uint8_t>(c.firstRow));
    }
}

TEST(ListingSizeCap, EncodesOnlySizesNotTriedYet) {
    struct Case {
        int width, height;
        bool noisy;
        std::int64_t capKB;
        int encodings;
        bool fits;
    };
    const Case cases[] = {
        {533, 400, true, 1, 5, false},     // never shrinks below 2048 x 0.85^5: one size
        {1200, 900, true, 1, 15, false},   // 1200, then 1069 and 909 px
        {2100, 300, true, 1, 30, false},   // every round a new size
        {600, 400, false, 2000, 1, true},  // the first try fits
    };
    for (const Case& c : cases) {
        const PipelineImage image = test::picture(c.width, c.height, c.noisy ? test::noise : test::ramp);
        const auto jpeg = ListingProcessor::encodeUnderSizeCap(image, {}, 2048, c.capKB);
        EXPECT_EQ(jpeg.encodings, c.encodings) << c.width;
        EXPECT_EQ(!jpeg.bytes.empty(), c.fits) << c.width;
        EXPECT_LE(jpeg.bytes.size(), static_cast<std::size_t>(c.capKB) * 1024);
    }
}

TEST(ListingText, ZeroCorrectionsPrintWithoutASign) {
    const struct {
        double value;
        int decimals;
        std::string text;
    } cases[] = {{-0.0, 2, "0.00"}, {-0.004, 2, "0.00"}, {-0.04, 1, "0.0"}, {-2.996, 2, "-3.00"}, {1.25, 1, "1.2"}, {0.006, 2, "0.01"}};
    for (const auto& c : cases) EXPECT_EQ(ListingProcessor::fixed(c.value, c.decimals), c.text) << c.value;
}

}  // namespace
}  // namespace morvale
