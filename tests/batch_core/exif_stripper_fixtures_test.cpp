// The metadata stripper over real camera and phone JPEGs and over files built to hide a location
// where readers seldom look (make_location_fixtures.py), judged by exiftool and exiv2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "batch_core/exif_stripper.h"
#include "support/shell_command.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Option = EXIFStripper::StripOption;

using test::commandOutput;

std::string quote(const fs::path& path) { return test::shellQuote(path); }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The main image's compressed data, from its start of scan through its end-of-image marker.
std::string mainScan(const std::string& jpeg) {
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[at]) == 0xFF) {
        if (static_cast<unsigned char>(jpeg[at + 1]) == 0xDA) {
            const std::size_t end = jpeg.find("\xFF\xD9", at);
            return end == std::string::npos ? jpeg.substr(at) : jpeg.substr(at, end + 2 - at);
        }
        at += 2 + (static_cast<std::size_t>(static_cast<unsigned char>(jpeg[at + 2])) << 8 |
                   static_cast<unsigned char>(jpeg[at + 3]));
    }
    return {};
}

// exiftool's "[Group] Tag : value" lines per file name, for every JPEG of a folder and of the
// parts taken out of them (EXIF thumbnails by exiftool itself, images appended after the main one
// by us); exiv2's keys likewise.
struct Oracle {
    std::map<std::string, std::vector<std::string>> exiftool;
    std::map<std::string, std::vector<std::string>> exiv2;

    explicit Oracle(const fs::path& folder) {
        const fs::path parts = folder / "parts";
        fs::create_directories(parts);
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() != ".jpg") continue;
            const std::string jpeg = test::readFile(entry.path());
            const std::string scan = mainScan(jpeg);
            const std::size_t end = jpeg.find(scan) + scan.size();
            if (!scan.empty() && end < jpeg.size()) {
                std::ofstream(parts / (entry.path().stem().string() + ".trailer.jpg"), std::ios::binary) << jpeg.substr(end);
            }
        }
        std::system(("exiftool -q -q -b -ThumbnailImage -w " + quote(parts / "%f.thumb.jpg") + " " +
                     quote(folder) + " >/dev/null 2>&1").c_str());
        std::string current;
        for (const auto& line :
             lines(commandOutput("exiftool -a -G1 -s -ee -m -x System:all -x ExifTool:all " + quote(folder) + " " + quote(parts)))) {
            if (line.starts_with("======== ")) {
                current = fs::path(line.substr(9)).filename().string();
            } else if (line.starts_with("[")) {
                exiftool[current].push_back(line);
            }
        }
        for (const fs::path& dir : {folder, parts}) {
            // With more than one file exiv2 starts each line with the file's name.
            for (const auto& line : lines(commandOutput("exiv2 -q -pa " + quote(dir) + "/*.jpg /dev/null"))) {
                std::istringstream words(line);
                std::string file, key;
                if (words >> file >> key) exiv2[fs::path(file).filename().string()].push_back(key);
            }
        }
    }

    static std::string tagOf(const std::string& line) {
        std::istringstream words(line.substr(line.find(']') + 1));
        std::string tag;
        words >> tag;
        return tag;
    }
    static std::string groupOf(const std::string& line) { return line.substr(1, line.find(']') - 1); }
    static bool isLocation(const std::string& groupOrKey, const std::string& tag) {
        return groupOrKey == "GPS" || ascii::lowered(tag).find("gps") != std::string::npos;
    }

    // Every line about `name`, its thumbnail and its appended image.
    std::vector<std::string> everything(const std::string& name) const {
        std::vector<std::string> all;
        const std::string stem = fs::path(name).stem().string();
        for (const std::string& file : {name, stem + ".thumb.jpg", stem + ".trailer.jpg"}) {
            if (auto found = exiftool.find(file); found != exiftool.end()) all.insert(all.end(), found->second.begin(), found->second.end());
        }
        return all;
    }

    std::vector<std::string> location(const std::string& name) const {
        std::vector<std::string> found;
        for (const auto& line : everything(name)) {
            if (isLocation(groupOf(line), tagOf(line))) found.push_back(line);
        }
        const std::string stem = fs::path(name).stem().string();
        for (const std::string& file : {name, stem + ".thumb.jpg", stem + ".trailer.jpg"}) {
            if (auto keys = exiv2.find(file); keys != exiv2.end()) {
                for (const auto& key : keys->second) {
                    if (isLocation("", key)) found.push_back("exiv2 " + file + " " + key);
                }
            }
        }
        return found;
    }
};

class EXIFStripperFixtureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        shared_ = std::make_unique<test::TempDir>();
        const std::string made = commandOutput("/usr/bin/python3 " + quote(MORVALE_LOCATION_FIXTURES_SCRIPT) + " " +
                                         quote(shared_->path() / "sources"));
        names_ = lines(made);
    }
    static void TearDownTestSuite() { shared_.reset(); }

    static std::unique_ptr<test::TempDir> shared_;
    static std::vector<std::string> names_;
};

std::unique_ptr<test::TempDir> EXIFStripperFixtureTest::shared_;
std::vector<std::string> EXIFStripperFixtureTest::names_;

TEST_F(EXIFStripperFixtureTest, NoLocationAnywhereAndNothingButWhatEachOptionKeeps) {
    ASSERT_EQ(names_.size(), 11u) << "the fixture script failed";
    const fs::path sources = shared_->path() / "sources";
    const Oracle before(sources);
    const EXIFStripper stripper;
    for (const auto& name : names_) {
        const bool located = !before.location(name).empty();
        EXPECT_EQ(located, name != "orientation6_no_location.jpg") << name << ": the fixture is not what it claims";
        EXPECT_EQ(stripper.containsGPS(sources / name), located) << name;
    }

    struct Case {
        Option option;
        const char* folder;
        std::set<std::string> keptTags;  // beyond the file's structure; empty with keepAll
        bool keepAll;
    };
    const std::vector<Case> cases{
        {Option::stripGPSOnly, "gps-only", {}, true},
        {Option::stripAllExifExceptOrientation, "orientation", {"IFD0:Orientation", "IFD0:Copyright", "IFD0:Artist"}, false},
        {Option::stripEverything, "everything", {}, false},
    };
    // What a JPEG is made of rather than what it says: these stay under every option.
    const auto structural = [](const std::string& group) {
        return group == "File" || group == "JFIF" || group == "Adobe" || group == "Composite" || group.starts_with("ICC");
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        const fs::path folder = shared_->path() / c.folder;
        fs::create_directories(folder);
        for (const auto& name : names_) {
            fs::copy_file(sources / name, folder / name);
            stripper.stripMetadata(folder / name, folder / name, c.option, 0.92);
        }
        const Oracle after(folder);
        for (const auto& name : names_) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(stripper.containsGPS(folder / name));
            EXPECT_EQ(after.location(name), std::vector<std::string>());
            EXPECT_EQ(mainScan(test::readFile(folder / name)), mainScan(test::readFile(sources / name)));

            std::vector<std::string> unexpected;
            if (c.keepAll) {
                // Everything but the location, as it was (the extended packet's GUID follows its content).
                const auto described = [](const std::vector<std::string>& all) {
                    std::vector<std::string> kept;
                    for (const auto& line : all) {
                        const std::string group = Oracle::groupOf(line), tag = Oracle::tagOf(line);
                        if (!Oracle::isLocation(group, tag) && group != "File" && group != "Composite" &&
                            tag != "HasExtendedXMP") {
                            kept.push_back(line);
                        }
                    }
                    std::sort(kept.begin(), kept.end());
                    return kept;
                };
                EXPECT_EQ(described(after.everything(name)), described(before.everything(name)));
            } else {
                for (const auto& line : after.everything(name)) {
                    const std::string group = Oracle::groupOf(line);
                    if (!structural(group) && !c.keptTags.contains(group + ":" + Oracle::tagOf(line))) {
                        unexpected.push_back(line);
                    }
                }
                if (auto keys = after.exiv2.find(name); keys != after.exiv2.end()) {
                    for (const auto& key : keys->second) {
                        const std::string asTag = "IFD0:" + key.substr(key.rfind('.') + 1);
                        if (!key.starts_with("Exif.Image.") || !c.keptTags.contains(asTag)) unexpected.push_back("exiv2 " + key);
                    }
                }
            }
            EXPECT_EQ(unexpected, std::vector<std::string>());
        }
    }
}

}  // namespace
}  // namespace morvale
