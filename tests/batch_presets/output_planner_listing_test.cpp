#include <gtest/gtest.h>

#include <fstream>

#include "listing_test_support.h"
#include "output_planner_support.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Portal = VarnholtPreset::Portal;
using Lines = std::vector<std::string>;

// A -2 / 0 / +2 EV bracket one second apart, two single shots and a file no decoder reads.
class ListingPlan : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new test::TempDir;
        std::vector<std::pair<fs::path, std::string>> tags;
        const char* exposure[] = {"0.04", "0.01", "0.0025"};
        for (int i = 0; i < 3; ++i) {
            const fs::path file = *folder_ / ("in/DSC_010" + std::to_string(i + 1) + ".jpg");
            fs::create_directories(file.parent_path());
            test::writeJpeg(file, test::picture(96, 64, test::ramp));
            tags.emplace_back(file, "'-DateTimeOriginal=2024:05:01 10:00:0" + std::to_string(i) + "' -ExposureTime=" +
                                        exposure[i] + " -FNumber=8 -ISO=100");
        }
        for (const char* name : {"Porch.jpg", "Garden.jpg"}) {
            tags.emplace_back(test::writeJpeg(*folder_ / (std::string("in/") + name), test::picture(96, 64, test::ramp)),
                              "'-DateTimeOriginal=2024:05:02 12:00:00' -ExposureTime=0.01");
        }
        ASSERT_TRUE(test::tag(tags));
        std::ofstream(*folder_ / "in/Broken.jpg") << "no photo";
    }
    static void TearDownTestSuite() { delete folder_; }

    static fs::path shot(const std::string& name) { return *folder_ / ("in/" + name); }
    static VarnholtPreset preset(bool merge) {
        VarnholtPreset p = test::listingPreset();
        p.autoStraightenVerticals = false;
        p.mergeBrackets = merge;
        return p;
    }

    static inline test::TempDir* folder_ = nullptr;
};

TEST_F(ListingPlan, NamesBracketsAndSwitchedOffSets) {
    const auto all = std::vector<fs::path>{shot("DSC_0101.jpg"), shot("DSC_0102.jpg"), shot("DSC_0103.jpg")};
    const std::string merged = "! Skipped: merged into DSC_0101.jpg's bracket";
    struct Row {
        std::string title;
        std::function<void(VarnholtPreset&)> tweak;
        std::vector<fs::path> files;
        std::string pattern;
        std::vector<Lines> expected;
    };
    const std::vector<Row> rows{
        {"the bracket's first shot leads it", [](VarnholtPreset&) {}, all, "",
         {{"-> Print_Package/1042_Maple_Lane_01_Print.jpg", "-> MLS_Web_Package/1042_Maple_Lane_01_Web.jpg",
           "! Merges 3 exposures into one photo"},
          {merged},
          {merged}}},
        {"its first queued shot leads when the first is not queued", [](VarnholtPreset&) {},
         {shot("DSC_0103.jpg"), shot("DSC_0102.jpg")}, "{name}_{size}",
         {{"! Skipped: merged into DSC_0102.jpg's bracket"},
          {"-> Print_Package/DSC_0102_Print.jpg", "-> MLS_Web_Package/DSC_0102_Web.jpg",
           "! Merges 2 exposures into one photo"}}},
        {"the portal names the web folder", [](VarnholtPreset& p) { p.setPortal(Portal::zillow); },
         {shot("Porch.jpg")}, "{size}", {{"-> Print_Package/Print.jpg", "-> Zillow_Package/Web.jpg"}}},
        {"both sets off", [](VarnholtPreset& p) {
             p.exportPrintPackage = false;
             p.exportWebPackage = false;
             p.mergeBrackets = false;
         },
         {shot("Porch.jpg")}, "", {{"! Both output sets are turned off"}}},
        {"a web size the set cannot be made with; a photo that cannot be read",
         [](VarnholtPreset& p) {
             p.setPortal(Portal::airbnb);
             p.exportPrintPackage = false;
             p.maxWebDimension = 0;
         },
         {shot("Broken.jpg")}, "",
         {{"-> Airbnb_Package/1042_Maple_Lane_01_Web.jpg", "! Could not read the image",
           "! The web image's longest side must be a number of at least 1 pixel (it is 0.0)."}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.title);
        VarnholtPreset p = preset(true);
        row.tweak(p);
        const auto reports = test::planFiles(p, row.files, folder_->path() / "out", row.pattern);
        ASSERT_EQ(reports.size(), row.expected.size());
        for (std::size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(test::lines(reports[i]), row.expected[i]) << i;
    }
}

TEST_F(ListingPlan, AgreesWithTheRun) {
    const std::vector<fs::path> files{shot("DSC_0102.jpg"), shot("Porch.jpg"), shot("DSC_0101.jpg"),
                                      shot("Broken.jpg"), shot("DSC_0103.jpg"), shot("Garden.jpg")};
    int round = 0, completed = 0;
    for (const std::string pattern : {"{address}_{index:02}_{size}", "{name}_{size}", "", "out"}) {
        for (const bool merge : {false, true}) {
            SCOPED_TRACE(pattern + (merge ? ", brackets" : ""));
            VarnholtPreset p = preset(merge);
            p.setPortal(round % 2 == 0 ? Portal::mls : Portal::custom);
            p.exportPrintPackage = round != 3;
            const fs::path out = folder_->path() / ("out" + std::to_string(round++));
            const auto plan = test::planFiles(p, files, out, pattern, true);
            const auto run = test::runListingJob(p, files, out, pattern);
            completed += test::expectAgreement(plan, run);
        }
    }
    EXPECT_GT(completed, 8);
}

}  // namespace
}  // namespace morvale
