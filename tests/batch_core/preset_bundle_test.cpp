#include "batch_core/preset_store.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

ExportablePresetBundle sampleBundle() {
    ExportablePresetBundle b;
    b.version = "1.0";
    b.presetID = "com.kadrel.morvale";
    b.presetName = "My set";
    b.verticalName = "Indie Game Dev & 3D Art";
    b.defaultNamingPattern = "{name}_{profile}_{pot}";
    b.configuration = {{"mode", "channel"}, {"namingPattern", "{name}/\"x\"\n\xC3\xA9"}, {"strength", "2.0"}};
    b.exportedAt = std::chrono::system_clock::time_point(1'765'000'000'123'456us);
    return b;
}

void expectSameBundle(const ExportablePresetBundle& a, const ExportablePresetBundle& b) {
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.presetID, b.presetID);
    EXPECT_EQ(a.presetName, b.presetName);
    EXPECT_EQ(a.verticalName, b.verticalName);
    EXPECT_EQ(a.defaultNamingPattern, b.defaultNamingPattern);
    EXPECT_EQ(a.configuration, b.configuration);
    // The date travels as a double of seconds since 2001: equal to well under a millisecond.
    EXPECT_LT(std::chrono::abs(a.exportedAt - b.exportedAt), 1ms);
}

TEST(PresetStore, ExportThenImportGivesTheSameBundle) {
    test::TempDir dir;
    const auto file = dir / "set.json";
    for (auto bundle : {sampleBundle(), [] {
                            auto b = sampleBundle();
                            b.configuration.clear();
                            return b;
                        }()}) {
        PresetStore::shared().exportBundle(bundle, file);
        expectSameBundle(PresetStore::shared().importPreset(file), bundle);
    }
    // Written through a temporary file: nothing else is left in the folder.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(PresetStore, WritesPrettyJsonInFieldOrderWithEscapedSlashes) {
    auto bundle = sampleBundle();
    bundle.configuration = {{"a", "x/y"}};
    bundle.exportedAt = std::chrono::system_clock::time_point(978'307'200s + 10s);
    EXPECT_EQ(PresetStore::encode(bundle),
              "{\n"
              "  \"version\" : \"1.0\",\n"
              "  \"presetID\" : \"com.kadrel.morvale\",\n"
              "  \"presetName\" : \"My set\",\n"
              "  \"verticalName\" : \"Indie Game Dev & 3D Art\",\n"
              "  \"defaultNamingPattern\" : \"{name}_{profile}_{pot}\",\n"
              "  \"configuration\" : {\n"
              "    \"a\" : \"x\\/y\"\n"
              "  },\n"
              "  \"exportedAt\" : 10\n"
              "}");
}

TEST(PresetStore, RefusesFilesThatAreNotBundles) {
    const std::string good = PresetStore::encode(sampleBundle());
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"not JSON", "{ nope"},
        {"an array", "[1, 2]"},
        {"no version", replaced("\"version\" : \"1.0\",", "")},
        {"date as ISO text", replaced("\"exportedAt\" : ", "\"exportedAt\" : \"2026-12-09T05:00:00Z\", \"x\" : ")},
        {"date out of range", replaced("\"exportedAt\" : ", "\"exportedAt\" : 1e300, \"x\" : ")},
        {"number setting", replaced("\"mode\" : \"channel\"", "\"mode\" : 3")},
        {"null setting", replaced("\"mode\" : \"channel\"", "\"mode\" : null")},
        {"configuration is text", replaced("\"configuration\" : {", "\"configuration\" : \"\", \"y\" : {")},
        {"name is a number", replaced("\"presetName\" : \"My set\"", "\"presetName\" : 5")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(PresetStore::decode(c.text), PresetStore::DecodeError);
    }
}

TEST(PresetStore, ReadingFailsCleanlyForMissingHugeAndFolderPaths) {
    test::TempDir dir;
    EXPECT_THROW(PresetStore::shared().importPreset(dir / "absent.json"), fs::filesystem_error);
    EXPECT_THROW(PresetStore::shared().importPreset(dir.path()), fs::filesystem_error);

    const auto huge = dir / "huge.json";
    {
        std::ofstream out(huge, std::ios::binary);
        std::string block(1 << 20, ' ');
        for (int i = 0; i < 5; ++i) out << block;
    }
    EXPECT_THROW(PresetStore::shared().importPreset(huge), PresetStore::DecodeError);
}

TEST(PresetStore, FailedExportLeavesTheOldFileAlone) {
    test::TempDir dir;
    const auto file = dir / "set.json";
    PresetStore::shared().exportBundle(sampleBundle(), file);
    const std::string before = test::readFile(file);
    // A bundle cannot replace a folder; the existing file elsewhere stays intact and no temporary remains.
    fs::create_directory(dir / "taken");
    EXPECT_THROW(PresetStore::shared().exportBundle(sampleBundle(), dir / "taken"), fs::filesystem_error);
    EXPECT_THROW(PresetStore::shared().exportBundle(sampleBundle(), dir / "missing" / "set.json"), fs::filesystem_error);
    EXPECT_EQ(test::readFile(file), before);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 2u);
}

}  // namespace
}  // namespace morvale
