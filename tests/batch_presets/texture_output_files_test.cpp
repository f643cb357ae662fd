#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "texture_test_support.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Mode = MorvalePreset::OperationalMode;
using Format = SpriteSheetCompiler::DataFormat;
using test::Rgba;

// A left-to-right ramp: it does not tile, so the tiling check writes its preview.
fs::path writeRamp(const fs::path& file) {
    PackedTexture::writePNG(test::makeTexture(64, 16, [](int x, int) {
                                const auto v = static_cast<std::uint8_t>(x * 4);
                                return Rgba{v, v, v, 255};
                            }),
                            file);
    return file;
}

// For each mode: the input to queue and the pattern, so that the mode's longest output name has
// `length` bytes; and that name.
struct NamedRun {
    fs::path input;
    std::string pattern;
    std::string longest;
};

NamedRun prepare(Mode mode, std::size_t length, const fs::path& folder) {
    const std::string literal(length - 4, 'n');  // a pattern without tokens names the file itself
    switch (mode) {
        case Mode::channelPackingORM: return {test::writeGrey(folder / "Rock_AO.png", 8, 8, 90), literal, literal + ".png"};
        case Mode::normalMapConvert:
            return {test::writeGrey(folder / "Rock_Normal.png", 8, 8, 128), literal, literal + ".png"};
        case Mode::normalFromHeight:
            return {test::writeGrey(folder / "Rock_Height.png", 8, 8, 60), literal, literal + ".png"};
        case Mode::powerOfTwoEnforce: return {test::writeGrey(folder / "Rock.png", 8, 8, 30), literal, literal + ".png"};
        case Mode::tilingCheck: {
            const std::string stem(length - std::string("_Tiled2x2.png").size(), 't');
            return {writeRamp(folder / (stem + ".png")), "{name}", stem + "_Tiled2x2.png"};
        }
        case Mode::spriteSheetAtlas: {
            const std::string sequence(length - std::string("_Atlas.json").size(), 's');
            return {test::writeGrey(folder / (sequence + "_01.png"), 8, 8, 200), "{name}", sequence + "_Atlas.json"};
        }
    }
    return {};
}

// Every name the file system takes is written, whatever the temporary name needs; one byte more is
// refused with the system's own reason.
TEST(TextureOutputFiles, EveryNameUpToTheFileSystemLimitIsWrittenInEveryMode) {
    const std::vector<Mode> modes{Mode::channelPackingORM, Mode::normalMapConvert,  Mode::normalFromHeight,
                                  Mode::powerOfTwoEnforce, Mode::tilingCheck, Mode::spriteSheetAtlas};
    for (const Mode mode : modes) {
        for (const std::size_t length : {200u, 233u, 234u, 255u, 256u}) {
            SCOPED_TRACE(std::string(MorvalePreset::rawValue(mode)) + " " + std::to_string(length));
            test::TempDir dir;
            const NamedRun named = prepare(mode, length, dir / "in");
            auto preset = test::texturePreset(mode);
            const auto run = test::runTextureJob(preset, {named.input}, dir / "out", named.pattern);
            const auto& item = run.items.front();
            if (length <= 255) {
                EXPECT_TRUE(fs::exists(dir / "out" / named.longest)) << item.message;
                if (mode != Mode::tilingCheck) {
                    EXPECT_EQ(item.status, ProcessingStatus::completed) << item.message;
                }
            } else {
                EXPECT_EQ(item.status, ProcessingStatus::failed);
                EXPECT_EQ(item.message, "Cannot write " + named.longest + ": File name too long");
            }
            // No temporary file is left behind, whatever happened.
            for (const auto& name : test::fileNames(dir / "out")) {
                EXPECT_NE(name.rfind(".mx-", 0), 0u) << name;
            }
        }
    }
}

// Failures of the file system reach the user as "Cannot write <file>: <the system's reason>", an
// unreadable source as the texture message with the reason. Each case runs in a fresh process that
// sets the failure up (a mount namespace for a read-only or full folder, an unprivileged user for
// a file without read permission) and prints the item's message.
TEST(TextureOutputFiles, FileSystemFailuresNameTheirCause) {
    if (std::system("unshare -m true 2>/dev/null || unshare -Urm true 2>/dev/null") != 0) {
        GTEST_SKIP() << "no mount namespace can be made here";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this test again from the top: it works in the parent's folder, which the
    // parent removes (a child that gave up its privileges could not).
    const char* inherited = std::getenv("MORVALE_FAILURE_TEST_DIR");
    std::optional<test::TempDir> own;
    if (inherited == nullptr) own.emplace();
    const fs::path root = inherited != nullptr ? fs::path(inherited) : own->path();
    ::setenv("MORVALE_FAILURE_TEST_DIR", root.c_str(), 1);

    struct Case {
        const char* name;
        bool isolate;  // in a mount namespace of its own, made while the process has one thread
        std::function<void(const fs::path& in, const fs::path& out)> setUp;
        const char* message;
    };
    const std::vector<Case> cases{
        {"read-only folder", true,
         [](const fs::path&, const fs::path& out) {
             if (::mount("tmpfs", out.c_str(), "tmpfs", MS_RDONLY, nullptr) != 0) std::exit(5);
         },
         "Cannot write to the output folder .*/out: Read-only file system"},
        {"full disk", true,
         [](const fs::path&, const fs::path& out) {
             if (::mount("tmpfs", out.c_str(), "tmpfs", 0, "size=4k") != 0) std::exit(5);
         },
         "Cannot write Rock_ORM_256x256\\.png: No space left on device"},
        {"source without read permission", false,
         [](const fs::path& in, const fs::path&) {
             fs::permissions(in / "Rock_AO.png", fs::perms::none);
             if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) std::exit(6);
         },
         "Could not read texture map Rock_AO\\.png \\(Permission denied\\)\\."},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const fs::path folder = root / std::to_string(i);
        EXPECT_EXIT(
            {
                if (c.isolate) {
                    if (::unshare(CLONE_NEWNS) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) std::exit(3);
                    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) std::exit(4);
                }
                fs::create_directories(folder / "out");
                PackedTexture::writePNG(test::makeTexture(256, 256, [](int x, int y) {
                                            std::uint32_t h = static_cast<std::uint32_t>(x * 65536 + y) * 2654435761u;
                                            h ^= h >> 15;
                                            const auto v = static_cast<std::uint8_t>(h * 2246822519u >> 24);
                                            return Rgba{v, v, v, 255};
                                        }),
                                        folder / "in/Rock_AO.png");
                for (const fs::path& open : {root, folder, folder / "in", folder / "out"}) {
                    fs::permissions(open, fs::perms::all);
                }
                c.setUp(folder / "in", folder / "out");
                const auto run = test::runTextureJob(test::texturePreset(Mode::channelPackingORM),
                                                     {folder / "in/Rock_AO.png"}, folder / "out",
                                                     "{name}_{profile}_{pot}");
                std::cerr << "message: " << run.items.front().message << "\n";
                std::exit(run.items.front().status == ProcessingStatus::failed ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), std::string("message: ") + c.message);
    }
    ::unsetenv("MORVALE_FAILURE_TEST_DIR");
}

// Names with bytes that are not UTF-8: what a data file names is what was written.
TEST(TextureOutputFiles, DataFilesNameThePagesThatExist) {
    for (const Format format : {Format::jsonHash, Format::jsonArray, Format::cocos, Format::godot, Format::unity}) {
        SCOPED_TRACE(std::string(SpriteSheetCompiler::rawValue(format)));
        test::TempDir dir;
        std::vector<fs::path> frames;
        for (int i = 1; i <= 3; ++i) {
            frames.push_back(test::writeGrey(dir / "in" / ("bad\xff\xfe_AO\x01_0" + std::to_string(i) + ".png"), 24,
                                             24, static_cast<std::uint8_t>(60 * i)));
        }
        auto preset = test::texturePreset(Mode::spriteSheetAtlas);
        preset.spriteFormat = format;
        preset.spriteTrim = false;
        preset.maxTextureSize = 32;  // one frame a page: several pages name each other
        const auto run = test::runTextureJob(preset, frames, dir / "out", "{name}");
        ASSERT_EQ(run.items.front().status, ProcessingStatus::completed) << run.items.front().message;

        std::vector<std::string> named;
        for (const auto& written : run.items.front().outputs) {
            const std::string text = test::readFile(dir / "out" / written);
            if (written.ends_with(".json")) {
                const auto json = nlohmann::json::parse(text);
                named.push_back(json["meta"]["image"].get<std::string>());
                for (const auto& related : json["meta"].value("related_multi_packs", nlohmann::json::array())) {
                    named.push_back(related.get<std::string>());
                }
            } else if (written.ends_with(".plist")) {
                const std::regex key("<key>textureFileName</key>\\s*<string>([^<]*)</string>");
                std::smatch match;
                ASSERT_TRUE(std::regex_search(text, match, key));
                named.push_back(match[1]);
            } else if (written.ends_with(".tres")) {
                const std::regex path("path=\"([^\"]*)\"");
                for (auto it = std::sregex_iterator(text.begin(), text.end(), path); it != std::sregex_iterator(); ++it) {
                    named.push_back((*it)[1]);
                }
            } else if (written.ends_with(".meta")) {
                named.push_back(written.substr(0, written.size() - 5));  // the page it describes
            }
        }
        ASSERT_GE(named.size(), 3u);
        for (const auto& name : named) {
            EXPECT_TRUE(fs::exists(dir / "out" / name)) << name;
        }
    }
}

}  // namespace
}  // namespace morvale
