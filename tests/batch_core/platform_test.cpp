#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <regex>
#include <thread>

#include "batch_core/date_pattern_formatter.h"
#include "batch_core/file_name_collator.h"
#include "batch_core/file_url.h"
#include "batch_core/platform.h"
#include "batch_core/user_defaults.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;

// 2026-12-08T14:05:09Z.
const auto afternoonUtc = std::chrono::system_clock::from_time_t(1796738709);

TEST(Platform, LogPrefixIsLocalTimeOfDay) {
    const auto now = std::chrono::system_clock::now();
    const auto prefix = logTimePrefix(now);
    ASSERT_TRUE(std::regex_match(prefix, std::regex(R"(\[\d\d:\d\d:\d\d\] )"))) << prefix;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char expected[16];
    std::snprintf(expected, sizeof expected, "[%02d:%02d:%02d] ", local.tm_hour, local.tm_min, local.tm_sec);
    EXPECT_EQ(prefix, expected);
    EXPECT_GE(activeProcessorCount(), 1);
}

TEST(Platform, FixedPointNumbersIgnoreTheLocaleAndNonFiniteValues) {
    const std::vector<std::tuple<double, int, std::string>> cases{
        {1.5, 2, "1.50"}, {0.0, 2, "0.00"}, {2.345, 1, "2.3"}, {-0.004, 2, "-0.00"}, {12345.678, 0, "12346"},
        {std::numeric_limits<double>::quiet_NaN(), 2, "0.00"}, {std::numeric_limits<double>::infinity(), 2, "0.00"},
    };
    for (const auto& [value, decimals, text] : cases) EXPECT_EQ(formatFixed(value, decimals), text) << value;
}

TEST(FileNameCollator, OrdersLikeTheFileBrowser) {
    const auto& collator = FileNameCollator::shared();
    const std::vector<std::tuple<std::string, std::string, int>> cases{
        {"frame2.png", "frame10.png", -1},
        {"A.png", "b.png", -1},
        {"a.png", "A.png", 0},
        {"IMG_0009", "img_10", -1},
        {"e.png", "é.png", -1},
        {"/x/one/z.png", "/x/two/a.png", -1},
        {"Frame 2", "frame 02", 0},
        {std::string("bad\xff"), std::string("bad\xfe"), 0},  // undecodable bytes do not crash
    };
    for (const auto& [a, b, sign] : cases) {
        EXPECT_EQ(collator.compare(a, b), sign) << a << " vs " << b;
        EXPECT_EQ(collator.compare(b, a), -sign) << b << " vs " << a;
        const auto keyA = collator.sortKey(a);
        const auto keyB = collator.sortKey(b);
        EXPECT_EQ(keyA < keyB, sign < 0) << a << " vs " << b;
    }
}

TEST(FileNameCollator, SharedInstanceServesManyThreads) {
    const auto& collator = FileNameCollator::shared();
    std::atomic<int> wrong{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 200; ++i) {
                    if (collator.compare("frame" + std::to_string(i), "frame" + std::to_string(i + 10)) >= 0) ++wrong;
                    if (collator.sortKey("Frame2") != collator.sortKey("frame2")) ++wrong;
                }
            });
        }
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(DatePatternFormatter, UsesThePatternLocaleAndZone) {
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases{
        {"yyyyMMdd", "en-US", "UTC", "20261208"},
        {"yyyy-MM-dd HH:mm:ss", "en-US", "UTC", "2026-12-08 14:05:09"},
        {"HH:mm", "en-US", "Europe/Berlin", "15:05"},
        {"EEEE", "en-US", "UTC", "Tuesday"},
        {"EEEE", "de-DE", "UTC", "Dienstag"},
        {"'week' w", "en-US", "UTC", "week 50"},
    };
    for (const auto& [pattern, locale, zone, expected] : cases) {
        EXPECT_EQ(formatDatePattern(pattern, afternoonUtc, locale, zone), expected) << pattern << " " << locale;
    }
}

TEST(FileUrl, RoundTripsEveryPath) {
    for (const std::string& path : std::vector<std::string>{"/plain", "/with space/and%percent/#hash?q", std::string("/raw/\xff\x01")}) {
        const auto url = fileUrlString(path);
        EXPECT_EQ(url.rfind("file:///", 0), 0u) << url;
        EXPECT_EQ(url.find(' '), std::string::npos) << url;
        EXPECT_EQ(pathFromFileUrl(url), fs::path(path)) << url;
    }
    EXPECT_EQ(fileUrlString("/a b"), "file:///a%20b");
    EXPECT_EQ(pathFromFileUrl("file://localhost/x"), fs::path("/x"));
    EXPECT_EQ(pathFromFileUrl("/already/a/path"), fs::path("/already/a/path"));
    for (const char* bad : {"file:///a%2", "file:///a%zz", "file://host/x", "relative/path", "http://x/y", "file:///nul%00"}) {
        EXPECT_FALSE(pathFromFileUrl(bad).has_value()) << bad;
    }
}

TEST(UserDefaults, PersistsAtomicallyAndSurvivesDamage) {
    test::TempDir temp;
    const auto file = temp / "conf" / "defaults.json";
    {
        UserDefaults defaults(file);
        EXPECT_FALSE(defaults.string("namingPattern").has_value());
        EXPECT_TRUE(defaults.setString("namingPattern", "{name}_{index:02}"));
        EXPECT_TRUE(defaults.setNumber("updates.lastCheck.morvale", 1796738709.5));
        EXPECT_TRUE(defaults.setBoolean("flag", true));
        EXPECT_TRUE(defaults.setStringMap("settings", {{"mode", "pack"}, {"profile", "unreal"}}));
        EXPECT_TRUE(defaults.setString("gone", "soon"));
        EXPECT_TRUE(defaults.removeValue("gone"));
    }
    {
        const UserDefaults reread(file);
        EXPECT_EQ(reread.string("namingPattern"), "{name}_{index:02}");
        EXPECT_EQ(reread.number("updates.lastCheck.morvale"), 1796738709.5);
        EXPECT_EQ(reread.boolean("flag"), true);
        EXPECT_EQ(reread.stringMap("settings"), (std::map<std::string, std::string>{{"mode", "pack"}, {"profile", "unreal"}}));
        EXPECT_FALSE(reread.value("gone").has_value());
        // Wrong types read as absent.
        EXPECT_FALSE(reread.number("namingPattern").has_value());
        EXPECT_FALSE(reread.stringMap("namingPattern").has_value());
        EXPECT_FALSE(reread.string("settings").has_value());
    }
    std::size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        if (entry.path().filename() != "defaults.json.lock") ++entries;
    }
    EXPECT_EQ(entries, 1u) << "no temporary files left behind";
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    for (const std::string& damage : std::vector<std::string>{"{not json", "[1,2,3]", "", std::string("\0\0", 2)}) {
        std::ofstream(file, std::ios::trunc | std::ios::binary) << damage;
        UserDefaults damaged(file);
        EXPECT_FALSE(damaged.string("namingPattern").has_value());
        EXPECT_TRUE(damaged.setString("namingPattern", "x"));
        EXPECT_EQ(UserDefaults(file).string("namingPattern"), "x");
    }
}

TEST(UserDefaults, ConcurrentWritersLoseNothing) {
    test::TempDir temp;
    const auto file = temp / "defaults.json";
    UserDefaults defaults(file);
    {
        std::vector<std::jthread> writers;
        for (int thread = 0; thread < 8; ++thread) {
            writers.emplace_back([&defaults, thread] {
                for (int i = 0; i < 25; ++i) {
                    defaults.setString("k" + std::to_string(thread) + "_" + std::to_string(i), std::to_string(i));
                    (void)defaults.string("k0_0");
                }
            });
        }
    }
    const UserDefaults reread(file);
    for (int thread = 0; thread < 8; ++thread) {
        for (int i = 0; i < 25; ++i) {
            EXPECT_EQ(reread.string("k" + std::to_string(thread) + "_" + std::to_string(i)), std::to_string(i));
        }
    }
}

TEST(UserDefaults, TwoStoresOnOneFileKeepEachOthersKeys) {
    test::TempDir temp;
    const auto file = temp / "defaults.json";
    UserDefaults window(file);
    UserDefaults bookmarks(file);
    EXPECT_TRUE(window.setString("namingPattern", "{name}"));
    EXPECT_TRUE(bookmarks.setStringMap("com.kadrel.security_scoped_bookmarks", {{"/a", "x"}}));
    EXPECT_TRUE(window.setString("outputDirectory", "/out"));
    const UserDefaults reread(file);
    EXPECT_EQ(reread.string("namingPattern"), "{name}");
    EXPECT_EQ(reread.string("outputDirectory"), "/out");
    EXPECT_TRUE(reread.stringMap("com.kadrel.security_scoped_bookmarks").has_value());
}

TEST(UserDefaults, ModifyLosesNoChangeOfAnotherStoreOrThread) {
    test::TempDir temp;
    const auto file = temp / "defaults.json";
    UserDefaults first(file);
    UserDefaults second(file);  // stands for a second instance of the application
    std::atomic<int> failures{0};
    {
        std::vector<std::jthread> writers;
        for (int thread = 0; thread < 8; ++thread) {
            writers.emplace_back([&, thread] {
                UserDefaults& store = thread % 2 ? first : second;
                for (int i = 0; i < 50; ++i) {
                    const bool written = store.modify("count", [](std::optional<nlohmann::json> current) {
                        return std::optional<nlohmann::json>(current ? current->get<int>() + 1 : 1);
                    });
                    if (!written) ++failures;
                }
            });
        }
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(UserDefaults(file).number("count"), 400);

    EXPECT_THROW(first.modify("count", [](auto) -> std::optional<nlohmann::json> { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_EQ(UserDefaults(file).number("count"), 400);
    EXPECT_TRUE(first.modify("count", [](auto) { return std::optional<nlohmann::json>(); }));
    EXPECT_FALSE(UserDefaults(file).value("count").has_value());
}

TEST(UserDefaults, BytesThatAreNotUTF8ComeBackAsTheyWere) {
    test::TempDir temp;
    const auto file = temp / "defaults.json";
    const std::vector<std::string> texts{
        "/home/u/caf\xE9", "/home/u/caf\xE8", "/home/u/caf\xEF\xBF\xBD",  // the last is U+FFFD itself
        "caf\xC3\xA9", "\xFF", "trail\xC3", "\xED\xA0\x80", std::string("nul\0\x80", 5), "\"quoted\" \\ \x7F\x01",
    };
    {
        UserDefaults defaults(file);
        std::map<std::string, std::string> map;
        for (const auto& text : texts) {
            EXPECT_TRUE(defaults.setString(text, text));
            map[text] = text;
        }
        EXPECT_TRUE(defaults.setStringMap("map", map));
    }
    const UserDefaults reread(file);
    for (const auto& text : texts) EXPECT_EQ(reread.string(text), text) << test::readFile(file);
    EXPECT_EQ(reread.stringMap("map").value_or(std::map<std::string, std::string>{}).size(), texts.size());
}

TEST(UserDefaults, FilesWithEscapedBytesReadEverythingElseAsBefore) {
    // A lone "\udce9" makes the whole file go through the lossless reader; each other value must
    // read exactly as the standard JSON reader reads it.
    const std::vector<std::string> values{
        R"("plain")", R"("\u00e9\ud83d\ude00 \n\t\"\\\/")", "\"caf\xC3\xA9\"", "0", "-12", "18446744073709551615",
        "1.5e300", "-0.0", "3.141592653589793", "true", "false", "null", "[]", "{}",
        R"([1, [2, {"a": [null]}], "x"])", R"({"b": 1, "a": {"c": "d"}, "b": 2})", R"(  [ 1 ,2 ] )",
    };
    test::TempDir temp;
    const auto file = temp / "defaults.json";
    for (const auto& value : values) {
        std::ofstream(file, std::ios::trunc | std::ios::binary) << R"({"k": )" << value << R"(, "x": "caf\udce9"})";
        const UserDefaults defaults(file);
        EXPECT_EQ(defaults.string("x"), "caf\xE9") << value;
        EXPECT_EQ(defaults.value("k"), nlohmann::json::parse(value)) << value;
    }
    for (const std::string& damage : std::vector<std::string>{R"({"x": "\udce9")", R"({"x": "\udce9", })", R"({"x": "\udce9" "y": 1})",
                                      "{\"x\": " + std::string(600, '[') + "\"\\udce9\"" + std::string(600, ']') + "}",
                                      R"({"x": "\udce9\u12"})", R"({"x": "\udce9", "n": 01})"}) {
        std::ofstream(file, std::ios::trunc | std::ios::binary) << damage;
        EXPECT_FALSE(UserDefaults(file).value("x").has_value()) << damage;
    }
    // A value written by this store reads back through the standard reader when it is valid UTF-8,
    // so files that never held odd bytes look exactly as before.
    {
        UserDefaults defaults(file);
        ASSERT_TRUE(defaults.setValue("x", nlohmann::json::parse(R"({"a": [1, 2.5, "\u00e9\u0001"], "b": {}, "c": []})")));
    }
    const auto written = test::readFile(file);
    auto expected = nlohmann::json::parse(written);
    EXPECT_EQ(written, expected.dump(2) + "\n");
}

TEST(UserDefaults, UnwritablePlaceKeepsValuesInMemory) {
    test::TempDir temp;
    const auto blocker = temp.write("blocker");  // a file where the folder should be
    UserDefaults defaults(blocker / "sub" / "defaults.json");
    EXPECT_FALSE(defaults.setString("a", "b"));
    EXPECT_EQ(defaults.string("a"), "b");
}

TEST(UserDefaults, DefaultPathFollowsTheConfigHome) {
    const char* previous = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = previous ? previous : "";
    ::setenv("XDG_CONFIG_HOME", "/custom/config", 1);
    EXPECT_EQ(UserDefaults::defaultFilePath("morvale"), fs::path("/custom/config/morvale/defaults.json"));
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    const auto fallback = UserDefaults::defaultFilePath("morvale");
    EXPECT_EQ(fallback.filename(), "defaults.json");
    EXPECT_NE(fallback.string().rfind("relative", 0), 0u);
    if (previous) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
}  // namespace morvale
