#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "batch_core/run_ledger.h"
#include "batch_presets/texture_processor.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using DataFormat = SpriteSheetCompiler::DataFormat;

const std::set<std::string> extensions{"png", "tga", "tiff", "tif", "jpg", "jpeg", "exr"};

std::vector<std::string> names(const std::vector<fs::path>& frames) {
    std::vector<std::string> out;
    for (const auto& frame : frames) out.push_back(frame.filename().string());
    return out;
}

TEST(TextureFrameSequenceTest, GroupsFramesOfOneFolderByPrefixAndExtension) {
    struct Case {
        std::vector<std::string> files;
        std::string given;
        std::string name;
        std::vector<std::string> frames;
    };
    const std::vector<Case> cases{
        {{"walk_01.png", "walk_02.png", "walk_03.jpg", "run_01.png", "walk_10.png"},
         "walk_02.png", "walk", {"walk_01.png", "walk_02.png", "walk_10.png"}},
        // By number, not by text.
        {{"a100.png", "a9.png", "a10.png"}, "a10.png", "a", {"a9.png", "a10.png", "a100.png"}},
        // Equal numbers are ordered by name, whatever the folder's listing order.
        {{"walk01.png", "walk1.png", "walk2.png"}, "walk2.png", "walk", {"walk01.png", "walk1.png", "walk2.png"}},
        // Upper-case extensions belong to the lower-case sequence; hidden files never do.
        {{"fx-1.PNG", "fx-2.png", ".fx-3.png"}, "fx-2.png", "fx", {"fx-1.PNG", "fx-2.png"}},
        // Digits only: the prefix is empty and the sheet is called Sprite.
        {{"0001.png", "0002.png"}, "0001.png", "Sprite", {"0001.png", "0002.png"}},
        // Trailing separators are trimmed from the name, the prefix must match exactly.
        {{"boom_. 1.png", "boom_. 2.png", "Boom_. 3.png"}, "boom_. 2.png", "boom", {"boom_. 1.png", "boom_. 2.png"}},
        // No trailing number, or one that overflows: the file alone, named by itself.
        {{"hero.png", "hero1.png"}, "hero.png", "hero", {"hero.png"}},
        {{"x99999999999999999999.png", "x1.png"}, "x99999999999999999999.png", "x99999999999999999999",
         {"x99999999999999999999.png"}},
        // An extension the preset does not queue: the file alone.
        {{"walk_01.bmp", "walk_02.bmp"}, "walk_02.bmp", "walk", {"walk_02.bmp"}},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        for (const auto& file : c.files) dir.write(file, "x");
        fs::create_directories(dir / "walk_05.png");  // a folder that looks like a frame
        const auto sequence = TextureProcessor::frameSequence(dir / c.given, extensions);
        EXPECT_EQ(sequence.name, c.name) << c.given;
        EXPECT_EQ(names(sequence.frames), c.frames) << c.given;
        EXPECT_EQ(sequence.frames.front().parent_path(), dir.path()) << c.given;
        RunLedger run;  // the run's shared listing gives the same
        EXPECT_EQ(names(TextureProcessor::runFrameSequence(run, dir / c.given, extensions).frames), c.frames);
    }
}

TEST(TextureFrameSequenceTest, UnlistableFolderYieldsTheFileAlone) {
    const auto sequence = TextureProcessor::frameSequence("/nonexistent/folder/walk_07.png", extensions);
    EXPECT_EQ(sequence.name, "walk");
    EXPECT_EQ(names(sequence.frames), std::vector<std::string>{"walk_07.png"});
}

TEST(TextureFrameSequenceTest, SheetFileNamesFollowPagesSuffixAndFormat) {
    struct Case {
        int pages;
        std::string suffix;
        DataFormat format;
        std::vector<std::string> images;
        std::vector<std::string> data;
    };
    const std::vector<Case> cases{
        {2, "", DataFormat::jsonHash, {"walk_Atlas-0.png", "walk_Atlas-1.png"}, {"walk_Atlas-0.json", "walk_Atlas-1.json"}},
        {1, "@1x", DataFormat::godot, {"walk_Atlas@1x.png"}, {"walk_Atlas@1x.tres"}},
        {3, "", DataFormat::godot, {"walk_Atlas-0.png", "walk_Atlas-1.png", "walk_Atlas-2.png"}, {"walk_Atlas.tres"}},
        {1, "", DataFormat::jsonArray, {"walk_Atlas.png"}, {"walk_Atlas.json"}},
        {2, "@1x", DataFormat::cocos, {"walk_Atlas-0@1x.png", "walk_Atlas-1@1x.png"},
         {"walk_Atlas-0@1x.plist", "walk_Atlas-1@1x.plist"}},
        {1, "", DataFormat::unity, {"walk_Atlas.png"}, {"walk_Atlas.png.meta"}},
    };
    for (const auto& c : cases) {
        const auto result = TextureProcessor::spriteFileNames("walk", c.suffix, c.pages, c.format);
        EXPECT_EQ(result.images, c.images);
        EXPECT_EQ(result.data, c.data);
    }
}

}  // namespace
}  // namespace morvale
