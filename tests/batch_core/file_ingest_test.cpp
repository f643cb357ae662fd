#include "batch_core/file_ingest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "batch_core/file_name_collator.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

std::vector<std::string> names(const Paths& paths) {
    std::vector<std::string> result;
    for (const auto& path : paths) result.push_back(path.filename().string());
    return result;
}

TEST(FileIngest, AcceptsRegularVisibleFilesWithAllowedExtensions) {
    test::TempDir temp;
    temp.write("drop/IMG_2.JPG");
    temp.write("drop/notes.txt");
    temp.write("drop/.DS_Store");
    temp.write("drop/.hidden.jpg");
    temp.write("drop/.secret/inside.jpg");
    temp.write("drop/README");
    temp.write("drop/deeper/still/shot.jpeg");
    temp.write("drop/deeper/shot.jpg");
    const fs::path drop = temp / "drop";

    struct Case {
        const char* what;
        Paths input;
        std::set<std::string> allowed;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases{
        {"lower-case set matches any case", {drop}, {"jpg"}, {"shot.jpg", "IMG_2.JPG"}},
        {"upper-case set matches nothing", {drop}, {"JPG"}, {}},
        {"several extensions", {drop}, {"jpg", "jpeg", "txt"}, {"shot.jpg", "shot.jpeg", "IMG_2.JPG", "notes.txt"}},
        {"no extension needs the empty entry", {drop}, {""}, {"README"}},
        {"dot file dropped directly", {drop / ".DS_Store", drop / ".hidden.jpg"}, {"jpg", "ds_store"}, {}},
        {"file dropped directly", {drop / "IMG_2.JPG"}, {"jpg"}, {"IMG_2.JPG"}},
        {"nonexistent path skipped", {temp / "nothing-here", drop / "IMG_2.JPG"}, {"jpg"}, {"IMG_2.JPG"}},
        {"empty input", {}, {"jpg"}, {}},
        {"empty set", {drop}, {}, {}},
    };
    for (const auto& c : cases) {
        auto result = FileIngest::expand(c.input, c.allowed);
        auto got = names(result);
        std::sort(got.begin(), got.end());
        auto expected = c.expected;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(got, expected) << c.what;
        for (const auto& path : result) EXPECT_TRUE(path.is_absolute()) << c.what;
    }
}

TEST(FileIngest, EachFileAppearsOnceUnderItsStandardisedPath) {
    test::TempDir temp;
    const auto file = temp.write("a/b/x.png");
    temp.write("a/b/y.png");
    const fs::path roundabout = temp.path() / "a" / "b" / ".." / "b" / "." / "x.png";
    const auto result = FileIngest::expand({roundabout, temp / "a", file, temp / "a" / "b"}, {"png"});
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0], file);
    EXPECT_EQ(result[1], temp.path() / "a" / "b" / "y.png");
}

TEST(FileIngest, RelativeInputsBecomeAbsolute) {
    test::TempDir temp;
    temp.write("rel/one.png");
    const auto previous = fs::current_path();
    fs::current_path(temp.path());
    const auto result = FileIngest::expand({"rel", "./rel/../rel/one.png"}, {"png"});
    fs::current_path(previous);
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0], temp.path() / "rel" / "one.png");
}

TEST(FileIngest, SortsLikeTheFileBrowserAndInterleavesDrops) {
    test::TempDir temp;
    for (const char* name : {"one/b.png", "one/A.png", "one/frame10.png", "one/frame2.png", "two/a2.png", "one/a10.png"}) {
        temp.write(name);
    }
    temp.write("onE/x.png");
    EXPECT_EQ(names(FileIngest::expand({temp / "one"}, {"png"})),
              (std::vector<std::string>{"A.png", "a10.png", "b.png", "frame2.png", "frame10.png"}));
    // Full paths decide: ".../one/..." and ".../onE/..." compare equal up to the name.
    const auto both = FileIngest::expand({temp / "two", temp / "one", temp / "onE"}, {"png"});
    EXPECT_EQ(names(both), (std::vector<std::string>{"A.png", "a10.png", "b.png", "frame2.png", "frame10.png",
                                                     "x.png", "a2.png"}));
}

TEST(FileIngest, NamesDifferingOnlyInCaseKeepOneOrder) {
    test::TempDir temp;
    // Created in an order unlike the byte order, over enough names that a listing in creation
    // or hash order would show it.
    for (const char* name : {"tex_b.png", "TEX_B.png", "Tex_B.png", "tex_a.png", "TEX_A.png"}) temp.write(name);
    EXPECT_EQ(names(FileIngest::expand({temp.path()}, {"png"})),
              (std::vector<std::string>{"TEX_A.png", "tex_a.png", "TEX_B.png", "Tex_B.png", "tex_b.png"}));
}

TEST(FileIngest, SymbolicLinksAreNeitherTakenNorFollowedIntoFolders) {
    test::TempDir temp;
    const auto real = temp.write("lib/real.png");
    temp.write("outside/elsewhere.png");
    fs::create_symlink(real, temp / "lib" / "alias.png");
    fs::create_directory_symlink(temp / "outside", temp / "lib" / "linked-folder");
    fs::create_directory_symlink(temp / "lib", temp / "lib" / "loop");
    fs::create_directory_symlink(temp / "lib", temp / "lib-link");

    EXPECT_EQ(names(FileIngest::expand({temp / "lib"}, {"png"})), std::vector<std::string>{"real.png"});
    EXPECT_TRUE(FileIngest::expand({temp / "lib" / "alias.png"}, {"png"}).empty());
    // A dropped link to a folder stands for the folder.
    const auto viaLink = FileIngest::expand({temp / "lib-link"}, {"png"});
    ASSERT_EQ(viaLink.size(), 1u);
    EXPECT_EQ(viaLink[0], temp.path() / "lib-link" / "real.png");
}

TEST(FileIngest, SpecialFilesAreRejectedWithoutBeingOpened) {
    test::TempDir temp;
    temp.write("pipes/plain.png");
    const auto fifo = temp / "pipes" / "waiting.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opening the FIFO for reading would block this test forever.
    EXPECT_EQ(names(FileIngest::expand({temp / "pipes"}, {"png"})), std::vector<std::string>{"plain.png"});
    EXPECT_TRUE(FileIngest::expand({fifo}, {"png"}).empty());
}

// Runs `body` as an unprivileged user when the tests run as the super-user, whom permissions do
// not bind; returns what `body` returned.
bool asOrdinaryUser(const std::function<bool()>& body) {
    if (::geteuid() != 0) return body();
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(dropped && body() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(FileIngest, UnreadableFoldersArePassedOver) {
    test::TempDir temp;
    temp.write("top/visible.png");
    temp.write("top/locked/inside.png");
    temp.write("top/locked/deeper/more.png");
    const auto locked = temp / "top" / "locked";
    fs::permissions(temp.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(locked, fs::perms::none);
    const bool passedOver = asOrdinaryUser([&] {
        const auto result = FileIngest::expand({temp / "top", locked, locked / "deeper"}, {"png"});
        return result.size() == 1 && result[0].filename() == "visible.png";
    });
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_TRUE(passedOver);
}

TEST(FileIngest, TenThousandNestedFilesComeBackOnceInNumericOrder) {
    test::TempDir temp;
    for (int folder = 0; folder < 10; ++folder) {
        for (int sub = 0; sub < 10; ++sub) {
            const auto dir = temp / ("shots" + std::to_string(folder)) / ("take" + std::to_string(sub));
            fs::create_directories(dir);
            for (int frame = 1; frame <= 100; ++frame) {
                temp.write((dir / ("frame" + std::to_string(frame) + ".png")).lexically_relative(temp.path()).string());
            }
        }
    }
    const auto result = FileIngest::expand({temp.path()}, {"png"});
    ASSERT_EQ(result.size(), 10000u);
    const auto& collator = FileNameCollator::shared();
    for (std::size_t i = 1; i < result.size(); ++i) {
        ASSERT_LT(collator.compare(result[i - 1].string(), result[i].string()), 0) << result[i - 1] << " " << result[i];
    }
    // Within the first folder: frame1, frame2, ..., frame10, ..., frame100.
    for (int frame = 1; frame <= 100; ++frame) {
        EXPECT_EQ(result[static_cast<std::size_t>(frame - 1)].filename().string(), "frame" + std::to_string(frame) + ".png");
    }
    EXPECT_EQ(result.front(), temp.path() / "shots0" / "take0" / "frame1.png");
    EXPECT_EQ(result.back(), temp.path() / "shots9" / "take9" / "frame100.png");
}

}  // namespace
}  // namespace morvale
