#include "batch_core/token_renamer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <thread>

namespace morvale {
namespace {

using Vars = std::map<std::string, std::string>;

// 8 December 2026, 14:05:09 in the local time zone.
std::chrono::system_clock::time_point localAfternoon() {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 8;
    local.tm_hour = 14;
    local.tm_min = 5;
    local.tm_sec = 9;
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
}

BatchItem item(const std::string& file, Vars metadata = {}) {
    return BatchItem(Uuid::random(), "/nonexistent-morvale/" + file, std::nullopt, ProcessingStatus::pending, 0.0,
                     std::nullopt, std::move(metadata));
}

struct Case {
    const char* what;
    std::string pattern;
    std::string file;
    Vars metadata;
    Vars context;
    std::int64_t index;
    std::int64_t total;
    std::string expected;
};

TEST(TokenRenamer, ResolvesEveryKindOfToken) {
    const std::vector<Case> cases{
        {"empty pattern", "", "Rock.PNG", {}, {}, 3, 9, ""},
        {"default pattern", "{name}_{index:02}", "Rock.PNG", {}, {}, 3, 9, "Rock_03"},
        {"width is a minimum", "{name}_{index:02}", "Rock.PNG", {}, {}, 123, 200, "Rock_123"},
        {"plain index", "{index}", "a.png", {}, {}, 7, 9, "7"},
        {"zero width", "{index:0}", "a.png", {}, {}, 7, 9, "7"},
        {"empty width is no token", "{index:}", "a.png", {}, {}, 7, 9, "{index_}"},
        {"total never padded", "{index:03}-of-{total}", "a.png", {}, {}, 5, 12, "005-of-12"},
        {"extension", "{name}.{ext}", "photo.JPG", {}, {}, 1, 1, "photo.jpg"},
        {"context name wins", "{name}", "Rock.png", {}, {{"name", "Chosen"}}, 1, 1, "Chosen"},
        {"metadata name does not", "{name}", "Rock.png", {{"name", "Meta"}}, {}, 1, 1, "Rock"},
        {"context ext wins", "{ext}", "Rock.png", {}, {{"ext", "tga"}}, 1, 1, "tga"},
        {"context over metadata", "{who}", "a.png", {{"who", "meta"}}, {{"who", "context"}}, 1, 1, "context"},
        {"metadata alone", "{who}", "a.png", {{"who", "meta"}}, {}, 1, 1, "meta"},
        {"padded variable", "{ep:02}", "a.png", {}, {{"ep", "7"}}, 1, 1, "07"},
        {"padded non-number", "{ep:02}", "a.png", {}, {{"ep", "seven"}}, 1, 1, "{ep_02}"},
        {"padded missing", "{ep:02}", "a.png", {}, {}, 1, 1, "{ep_02}"},
        {"padding after the sign", "{ep:3}", "a.png", {}, {{"ep", "-5"}}, 1, 1, "-05"},
        {"leading plus", "{ep:3}", "a.png", {}, {{"ep", "+7"}}, 1, 1, "007"},
        {"two signs", "{ep:3}", "a.png", {}, {{"ep", "+-5"}}, 1, 1, "{ep_3}"},
        {"spaces are no number", "{ep:3}", "a.png", {}, {{"ep", " 5"}}, 1, 1, "{ep_3}"},
        {"largest number", "{n:3}", "a.png", {}, {{"n", "9223372036854775807"}}, 1, 1, "9223372036854775807"},
        {"too large a number", "{n:3}", "a.png", {}, {{"n", "9223372036854775808"}}, 1, 1, "{n_3}"},
        {"capital Name is not name", "{Name}", "Rock.png", {}, {}, 1, 1, "{Name}"},
        {"unknown stays", "{foo}_{foo:3}", "a.png", {}, {}, 1, 1, "{foo}_{foo_3}"},
        {"forbidden characters", "{address}", "a.png", {}, {{"address", "12/14 Main St #3"}}, 1, 1, "12_14 Main St _3"},
        {"every forbidden character", "a:/\\?%*|\"<>#b", "a.png", {}, {}, 1, 1, "a___________b"},
        {"edges", "#x#", "a.png", {}, {}, 1, 1, "_x_"},
        {"dots spaces braces pass", " .{}. ", "a.png", {}, {}, 1, 1, " .{}. "},
        {"variables cannot touch built-in tokens", "{index}-{total}", "a.png", {}, {{"index", "X"}, {"total", "Y"}}, 5, 6, "5-6"},
        {"inserted index stays literal", "{v}", "a.png", {}, {{"v", "{index}"}}, 5, 6, "{index}"},
        {"values are not rescanned", "{a}{b}", "a.png", {}, {{"a", "{b}"}, {"b", "X"}}, 1, 1, "{b}X"},
        {"nor rescanned the other way", "{b}{a}", "a.png", {}, {{"a", "X"}, {"b", "{a}"}}, 1, 1, "{a}X"},
        {"padding pass sees inserted text", "{a}", "a.png", {}, {{"a", "{b:03}"}, {"b", "4"}}, 1, 1, "004"},
        {"non-ASCII key", "{größe:03}", "a.png", {{"größe", "4"}}, {}, 1, 1, "004"},
        {"huge index width left alone", "{index:256}", "a.png", {}, {}, 1, 1, "{index_256}"},
        {"huge variable width left alone", "{ep:99999999999}", "a.png", {}, {{"ep", "1"}}, 1, 1, "{ep_99999999999}"},
        {"control characters", "{v}", "a.png", {}, {{"v", std::string("a\0b\tc\x7f" "d\xC2\x85" "e", 10)}}, 1, 1, "a_b_c_d_e"},
        {"podcast", "{show}_Ep{ep:03}_{date}", "a.wav", {}, {{"show", "My Show"}, {"ep", "7"}}, 1, 1, "My Show_Ep007_20261208"},
        {"date pattern", "{date:yyyy-MM-dd}", "a.png", {}, {}, 1, 1, "2026-12-08"},
        {"time with colon", "{date:HH:mm}", "a.png", {}, {}, 1, 1, "14_05"},
        {"variable named date", "{date}", "a.png", {}, {{"date", "no"}}, 1, 1, "20261208"},
        {"empty date format is no token", "{date:}", "a.png", {}, {}, 1, 1, "{date_}"},
        {"unterminated quote in a date format", "x{date:'oops}y", "a.png", {}, {}, 1, 1, "xoopsy"},
    };
    const TokenRenamer renamer;
    const auto now = localAfternoon();
    for (const auto& c : cases) {
        EXPECT_EQ(renamer.resolve(c.pattern, item(c.file, c.metadata), c.index, c.total, c.context, now), c.expected)
            << c.what;
    }
}

TEST(TokenRenamer, WidthUpToTheLimitIsHonoured) {
    const TokenRenamer renamer;
    const auto result = renamer.resolve("{index:255}", item("a.png"), 42, 50);
    ASSERT_EQ(result.size(), 255u);
    EXPECT_EQ(result.substr(253), "42");
    EXPECT_EQ(result.find_first_not_of('0'), 253u);
}

TEST(TokenRenamer, DateTokensOfOneNameShowOneMoment) {
    const TokenRenamer renamer;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const auto result = renamer.resolve("{date:HHmmssSSS}={date:HHmmssSSS}", item("a.png"), 1, 1);
        const auto split = result.find('=');
        ASSERT_NE(split, std::string::npos);
        EXPECT_EQ(result.substr(0, split), result.substr(split + 1));
    }
}

}  // namespace
}  // namespace morvale

namespace morvale {
namespace {

// Presets resolve names from several worker threads at once.
TEST(TokenRenamer, ConcurrentCallsGiveTheSameNames) {
    const TokenRenamer renamer;
    const auto now = localAfternoon();
    const auto source = item("Rock.PNG", {{"ep", "7"}});
    const std::string pattern = "{name}_{index:03}_{ep:02}_{date:yyyy-MM-dd HH.mm}_{ext}";
    const auto expected = renamer.resolve(pattern, source, 5, 9, {{"show", "x"}}, now);
    std::atomic<int> mismatches{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 100; ++i) {
                    if (renamer.resolve(pattern, source, 5, 9, {{"show", "x"}}, now) != expected) ++mismatches;
                }
            });
        }
    }
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(expected, "Rock_005_07_2026-12-08 14.05_png");
}

}  // namespace
}  // namespace morvale
