#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "image_engine/sprite_sheet_compiler.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

using Compiler = SpriteSheetCompiler;
using Frame = SpriteSheetCompiler::Frame;
using Json = nlohmann::json;

std::filesystem::path goldenDir() {
    return std::filesystem::path(MORVALE_SOURCE_DIR) / "tests" / "image_engine" / "golden";
}

// Compares with a golden file; MORVALE_WRITE_GOLDEN=1 rewrites it instead.
void expectGolden(const std::string& name, const std::string& actual) {
    const auto path = goldenDir() / name;
    if (std::getenv("MORVALE_WRITE_GOLDEN")) {
        std::ofstream(path, std::ios::binary) << actual;
    }
    EXPECT_EQ(test::readFile(path), actual) << "golden file " << path;
}

std::string text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

Frame frame(std::string name, PackRect onPage, PackRect kept, SheetSize source, bool rotated = false) {
    Frame f;
    f.name = std::move(name);
    f.frame = onPage;
    f.rotated = rotated;
    f.spriteSourceSize = kept;
    f.sourceSize = source;
    f.trimmed = kept.width != source.width || kept.height != source.height;
    return f;
}

Compiler::AtlasResult page(std::vector<Frame> frames, int w, int h) {
    Compiler::AtlasResult p;
    p.frames = std::move(frames);
    p.sheetWidth = w;
    p.sheetHeight = h;
    return p;
}

// The sample page: an untrimmed 64 square at (1, 1), two trimmed frames (one turned), on 128².
Compiler::AtlasResult samplePage() {
    return page({frame("a.png", {1, 1, 64, 64}, {0, 0, 64, 64}, {64, 64}),
                 frame("b.png", {67, 1, 30, 20}, {10, 20, 30, 20}, {64, 64}),
                 frame("walk.01.png", {67, 23, 31, 20}, {10, 20, 31, 20}, {64, 64}, true)},
                128, 128);
}

// Runs python3 on a file and returns what the script prints.
std::string python(const std::string& script, const std::filesystem::path& file) {
    test::TempDir dir;
    const auto scriptPath = dir.write("check.py", script);
    const auto outPath = dir / "out.txt";
    const std::string command = "python3 '" + scriptPath.string() + "' '" + file.string() + "' > '" +
                                outPath.string() + "' 2>&1";
    const int status = std::system(command.c_str());
    const std::string out = test::readFile(outPath);
    EXPECT_EQ(status, 0) << out;
    return out;
}

const char* const jsonScript = R"(import json, sys
with open(sys.argv[1], 'rb') as f:
    print(json.dumps(json.load(f), sort_keys=True))
)";
const char* const plistScript = R"(import json, plistlib, sys
with open(sys.argv[1], 'rb') as f:
    print(json.dumps(plistlib.load(f), sort_keys=True))
)";
const char* const yamlScript = R"(import json, sys, yaml
with open(sys.argv[1], 'rb') as f:
    print(json.dumps(yaml.safe_load(f), sort_keys=True))
)";

Json parsedBy(const char* script, const std::filesystem::path& file) {
    return Json::parse(python(script, file));
}

TEST(SpriteSheetDataFiles, GoldenFilesReadBackByIndependentParsers) {
    const auto p = samplePage();
    test::TempDir dir;
    struct Output {
        std::string name;
        std::string contents;
        const char* script;
    };
    const std::vector<Output> outputs{
        {"sample_hash.json", text(p.jsonHash("walk_Atlas.png", "walk", {})), jsonScript},
        {"sample_array.json", text(p.jsonArray("walk_Atlas-0.png", {"walk_Atlas-1.json"})), jsonScript},
        {"sample.plist", text(p.cocosPlist("walk_Atlas.png")), plistScript},
        {"sample.png.meta", p.unityMeta("walk_Atlas.png", 100), yamlScript},
    };
    for (const Output& o : outputs) {
        expectGolden(o.name, o.contents);
        const auto file = dir.write(o.name, o.contents);
        (void)parsedBy(o.script, file);
    }

    const Json hash = parsedBy(jsonScript, dir / "sample_hash.json");
    const Json& a = hash["frames"]["a.png"];
    EXPECT_EQ(a["frame"], (Json{{"x", 1}, {"y", 1}, {"w", 64}, {"h", 64}}));
    EXPECT_EQ(a["rotated"], false);
    EXPECT_EQ(a["trimmed"], false);
    EXPECT_EQ(a["sourceSize"], (Json{{"w", 64}, {"h", 64}}));
    EXPECT_EQ(a["spriteSourceSize"], (Json{{"x", 0}, {"y", 0}, {"w", 64}, {"h", 64}}));
    EXPECT_EQ(hash["frames"]["walk.01.png"]["rotated"], true);
    EXPECT_EQ(hash["meta"], (Json{{"app", "Orbisk"}, {"version", "1.0"}, {"image", "walk_Atlas.png"},
                                  {"format", "RGBA8888"}, {"size", {{"w", 128}, {"h", 128}}},
                                  {"scale", "1"}}));
    EXPECT_EQ(hash["animations"], (Json{{"walk", {"a.png", "b.png", "walk.01.png"}}}));

    const Json array = parsedBy(jsonScript, dir / "sample_array.json");
    ASSERT_EQ(array["frames"].size(), 3u);
    EXPECT_EQ(array["frames"][2]["filename"], "walk.01.png");
    EXPECT_FALSE(array.contains("animations"));
    EXPECT_EQ(array["meta"]["related_multi_packs"], (Json{"walk_Atlas-1.json"}));

    const Json plist = parsedBy(plistScript, dir / "sample.plist");
    EXPECT_EQ(plist["frames"]["b.png"]["spriteOffset"], "{-7,2}");
    EXPECT_EQ(plist["frames"]["walk.01.png"]["spriteOffset"], "{-6.5,2}");
    EXPECT_EQ(plist["frames"]["walk.01.png"]["textureRect"], "{{67,23},{31,20}}");
    EXPECT_EQ(plist["frames"]["walk.01.png"]["textureRotated"], true);
    EXPECT_EQ(plist["frames"]["a.png"]["aliases"], Json::array());
    EXPECT_EQ(plist["metadata"], (Json{{"format", 3}, {"pixelFormat", "RGBA8888"},
                                       {"premultiplyAlpha", false},
                                       {"realTextureFileName", "walk_Atlas.png"},
                                       {"textureFileName", "walk_Atlas.png"}, {"size", "{128,128}"}}));

    const Json meta = parsedBy(yamlScript, dir / "sample.png.meta");
    const Json& sprites = meta["TextureImporter"]["spriteSheet"]["sprites"];
    ASSERT_EQ(sprites.size(), 3u);
    EXPECT_EQ(sprites[0]["rect"], (Json{{"serializedVersion", 2}, {"x", 1}, {"y", 63},
                                        {"width", 64}, {"height", 64}}));
    EXPECT_EQ(sprites[0]["pivot"], (Json{{"x", 0.5}, {"y", 0.5}}));
    EXPECT_EQ(sprites[2]["name"], "walk.01");
    EXPECT_EQ(meta["TextureImporter"]["spritePixelsToUnits"], 100);
}

TEST(SpriteSheetDataFiles, OptionalJsonMembers) {
    const auto p = samplePage();
    const Json bare = Json::parse(text(p.jsonHash("x.png", std::nullopt, {})));
    EXPECT_FALSE(bare.contains("animations"));
    EXPECT_FALSE(bare["meta"].contains("related_multi_packs"));
    const Json empty = Json::parse(text(page({}, 16, 16).jsonArray("x.png", {})));
    EXPECT_EQ(empty["frames"], Json::array());
    // A later frame of the same name replaces the earlier one in the hash and the plist.
    auto twice = page({frame("a.png", {0, 0, 4, 4}, {0, 0, 4, 4}, {4, 4}),
                       frame("a.png", {8, 0, 4, 4}, {0, 0, 4, 4}, {4, 4})}, 16, 16);
    EXPECT_EQ(Json::parse(text(twice.jsonHash("x.png", "a", {})))["frames"]["a.png"]["frame"]["x"], 8);
    EXPECT_NE(text(twice.cocosPlist("x.png")).find("{{8,0},{4,4}}"), std::string::npos);
    EXPECT_EQ(text(twice.cocosPlist("x.png")).find("{{0,0},{4,4}}"), std::string::npos);
}

TEST(SpriteSheetDataFiles, UnityIdentifierDependsOnlyOnTheImageName) {
    const auto one = samplePage().unityMeta("walk_Atlas.png", 100);
    const auto other = page({}, 8, 8).unityMeta("walk_Atlas.png", 32);
    EXPECT_EQ(one.substr(0, 60), other.substr(0, 60));
    // First 16 bytes of SHA-256("abc").
    EXPECT_EQ(page({}, 8, 8).unityMeta("abc", 100).substr(0, 60),
              "fileFormatVersion: 2\nguid: ba7816bf8f01cfea414140de5dae2223\n");
    EXPECT_TRUE(page({}, 8, 8).unityMeta("abc", 100).ends_with("    sprites:\n"));
}

TEST(SpriteSheetDataFiles, GodotResourceGolden) {
    Compiler::Atlas atlas;
    atlas.pages.push_back(page({frame("walk_01.png", {1, 1, 30, 40}, {3, 4, 30, 40}, {36, 48}),
                                frame("walk_02.png", {33, 1, 36, 48}, {0, 0, 36, 48}, {36, 48})},
                               128, 64));
    atlas.pages.push_back(page({frame("walk_03.png", {1, 1, 20, 20}, {8, 14, 20, 20}, {36, 48})}, 32, 32));
    const std::string tres = atlas.godotSpriteFrames({"walk_Atlas-0.png", "walk_Atlas-1.png"}, "walk",
                                                     {"walk_01.png", "gone.png", "walk_03.png", "walk_02.png"},
                                                     12);
    expectGolden("sample.tres", tres);
    EXPECT_TRUE(tres.starts_with("[gd_resource type=\"SpriteFrames\" load_steps=6 format=3]\n\n"));
    EXPECT_NE(tres.find("[sub_resource type=\"AtlasTexture\" id=\"AtlasTexture_1\"]\n"
                        "atlas = ExtResource(\"2\")\nregion = Rect2(1, 1, 20, 20)\n"
                        "margin = Rect2(8, 14, 16, 28)\n\n"),
              std::string::npos);
    EXPECT_EQ(tres.find("AtlasTexture_3"), std::string::npos);
    EXPECT_NE(tres.find("\"speed\": 12.0\n"), std::string::npos);

    const auto speed = [&](double fps) {
        const std::string t = atlas.godotSpriteFrames({}, "a", {}, fps);
        const auto at = t.find("\"speed\": ");
        return t.substr(at + 9, t.find('\n', at) - at - 9);
    };
    EXPECT_EQ(speed(7.5), "7.5");
    EXPECT_EQ(speed(0.1), "0.1");
    EXPECT_EQ(speed(24), "24.0");
    EXPECT_EQ(atlas.godotSpriteFrames({}, "a", {}, 12).find("[sub_resource"), std::string::npos);
}

// Names that break naive writers: separators of each syntax, quotes, backslashes, control
// characters, non-ASCII and bytes that are not UTF-8 at all.
const std::vector<std::string> awkwardNames{
    "colon: value.png", "#hash.png", "quo\"te.png", "back\\slash.png", "üñï çødé.png",
    "tab\tnew\nline.png", "<&amp;>.png", "true.png", "0001.png", "- dash.png", "[x]{y}.png",
    "%percent.png", "ends with space .png", std::string("bad\xff\xfe.png"), "\x01.png"};

std::string asReadBack(const std::string& name) {
    // Bytes that are not UTF-8 come back as U+FFFD; XML cannot carry control characters.
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c == 0xFF || c == 0xFE) out += "\xEF\xBF\xBD";
        else out += name[i];
    }
    return out;
}

TEST(SpriteSheetDataFiles, AnyFrameNameGivesWellFormedFiles) {
    std::vector<Frame> frames;
    double x = 0;
    for (const std::string& name : awkwardNames) {
        frames.push_back(frame(name, {x, 0, 2, 2}, {0, 0, 2, 2}, {2, 2}));
        x += 2;
    }
    const auto p = page(frames, 32, 32);
    test::TempDir dir;
    const auto hashFile = dir.write("n.json", text(p.jsonHash("sheet \"1\".png", "anim\\\"", {"a/b.json"})));
    const auto arrayFile = dir.write("a.json", text(p.jsonArray("sheet.png", {})));
    const auto plistFile = dir.write("n.plist", text(p.cocosPlist("<sheet>.png")));
    const auto metaFile = dir.write("n.png.meta", p.unityMeta("sheet.png", 100));

    const Json hash = parsedBy(jsonScript, hashFile);
    const Json array = parsedBy(jsonScript, arrayFile);
    const Json plist = parsedBy(plistScript, plistFile);
    const Json meta = parsedBy(yamlScript, metaFile);
    EXPECT_EQ(hash["meta"]["image"], "sheet \"1\".png");
    EXPECT_EQ(hash["meta"]["related_multi_packs"][0], "a/b.json");
    EXPECT_EQ(plist["metadata"]["textureFileName"], "<sheet>.png");
    const Json& sprites = meta["TextureImporter"]["spriteSheet"]["sprites"];
    ASSERT_EQ(sprites.size(), awkwardNames.size());
    for (std::size_t i = 0; i < awkwardNames.size(); ++i) {
        const std::string expected = asReadBack(awkwardNames[i]);
        const std::string stem = expected.substr(0, expected.rfind('.'));
        EXPECT_TRUE(hash["frames"].contains(expected)) << expected;
        EXPECT_EQ(hash["animations"]["anim\\\""][i], expected);
        EXPECT_EQ(array["frames"][i]["filename"], expected);
        EXPECT_EQ(sprites[i]["name"], stem) << stem;
        if (expected[0] == '\x01') {
            EXPECT_TRUE(plist["frames"].contains("\xEF\xBF\xBD.png"));
        } else {
            EXPECT_TRUE(plist["frames"].contains(expected)) << expected;
        }
    }
}

TEST(SpriteSheetDataFiles, GodotStringsAreEscaped) {
    Compiler::Atlas atlas;
    atlas.pages.push_back(page({frame("a.png", {0, 0, 2, 2}, {0, 0, 2, 2}, {2, 2})}, 8, 8));
    const std::string tres =
        atlas.godotSpriteFrames({"dir/sheet \"x\".png"}, "run\\\"\n]", {"a.png"}, 12);
    EXPECT_NE(tres.find("path=\"dir/sheet \\\"x\\\".png\" id=\"1\""), std::string::npos);
    EXPECT_NE(tres.find("\"name\": &\"run\\\\\\\"\\n]\",\n"), std::string::npos);
}

}  // namespace
}  // namespace morvale
