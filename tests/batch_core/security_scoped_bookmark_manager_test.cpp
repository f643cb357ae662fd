#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "batch_core/security_scoped_bookmark_manager.h"
#include "batch_core/user_defaults.h"
#include "support/temp_dir.h"

namespace morvale {
namespace {

namespace fs = std::filesystem;
constexpr const char* key = SecurityScopedBookmarkManager::userDefaultsKey;

struct Store {
    explicit Store(const fs::path& file)
        : defaults(file), manager(defaults, [this](const std::string& line) {
              std::lock_guard lock(mutex);
              lines.push_back(line);
          }) {}
    nlohmann::json entries() const { return UserDefaults(defaults.filePath()).value(key).value_or(nlohmann::json()); }

    UserDefaults defaults;
    std::mutex mutex;
    std::vector<std::string> lines;
    SecurityScopedBookmarkManager manager;
};

std::uint64_t inodeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST(SecurityScopedBookmarkManager, SavesAndResolvesByNormalPath) {
    test::TempDir temp;
    Store store(temp / "defaults.json");
    fs::create_directories(temp / "one");
    fs::create_directories(temp / "two");
    const auto file = temp.write("two/file.png", "png");
    for (const auto& path : {temp / "one", temp / "two", file}) store.manager.saveBookmark(path);
    store.manager.saveBookmark(temp.path() / "one" / "." / ".." / "one" / "");  // the same folder again
    for (const auto& path : {temp / "one", temp / "two", file}) EXPECT_EQ(store.manager.resolveBookmark(path), path);
    EXPECT_EQ(store.manager.resolveBookmark(temp.path() / "two" / "." / "file.png"), file);
    EXPECT_EQ(store.entries().size(), 3u);

    EXPECT_FALSE(store.manager.resolveBookmark(temp / "never").has_value());
    EXPECT_TRUE(store.lines.empty());
    try {
        store.manager.saveBookmark(temp / "missing");
        ADD_FAILURE() << "saved a bookmark for nothing";
    } catch (const BookmarkError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Cannot create a bookmark for " + (temp / "missing").string() + ": No such file or directory");
    }
    EXPECT_EQ(store.entries().size(), 3u);
}

TEST(SecurityScopedBookmarkManager, FindsTheFileAgainAfterARenameOrAReplacingSave) {
    struct Case {
        const char* name;
        bool folder;
        std::function<fs::path(const fs::path& original)> change;  // where the file is afterwards
    };
    const std::vector<Case> cases{
        {"file renamed in place", false,
         [](const fs::path& p) {
             fs::rename(p, p.parent_path() / "renamed.psd");
             return p.parent_path() / "renamed.psd";
         }},
        {"folder renamed in place", true,
         [](const fs::path& p) {
             fs::rename(p, p.parent_path() / "Renamed Folder");
             return p.parent_path() / "Renamed Folder";
         }},
        {"file replaced by a new one renamed over it", false,
         [](const fs::path& p) {
             std::ofstream(p.parent_path() / ".save.tmp") << "new contents";
             fs::rename(p.parent_path() / ".save.tmp", p);
             return p;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir temp;
        Store store(temp / "defaults.json");
        const auto original = temp / "work" / "original";
        if (c.folder) {
            fs::create_directories(original);
        } else {
            temp.write("work/original", "old contents");
        }
        temp.write("work/neighbour");
        store.manager.saveBookmark(original);
        const auto now = c.change(original);

        EXPECT_EQ(store.manager.resolveBookmark(original), now);
        // Saved again under where it is now, in place of the old entry.
        const auto entries = store.entries();
        ASSERT_EQ(entries.size(), 1u) << entries.dump();
        ASSERT_TRUE(entries.contains(now.native())) << entries.dump();
        EXPECT_EQ(entries[now.native()]["inode"], inodeOf(now));
        EXPECT_EQ(store.manager.resolveBookmark(now), now);
        EXPECT_TRUE(store.lines.empty());
    }
}

TEST(SecurityScopedBookmarkManager, AFileThatIsGoneOrOnlySharesTheInodeNumberIsNotFound) {
    test::TempDir temp;
    Store store(temp / "defaults.json");
    const auto gone = temp.write("gone.txt");
    const auto other = temp.write("other.txt");
    store.manager.saveBookmark(gone);
    store.manager.saveBookmark(other);
    fs::remove(gone);
    EXPECT_FALSE(store.manager.resolveBookmark(gone).has_value());
    EXPECT_EQ(store.lines,
              std::vector<std::string>{"Failed to resolve security-scoped bookmark: " + gone.string() + ": No such file or directory"});
    EXPECT_TRUE(store.entries().contains(gone.native())) << "kept for when the file comes back";

    // The freed inode number given to a new file beside it: forge that case from other.txt's
    // record, which differs from the real file only in its handle's generation.
    auto entries = store.entries();
    auto forged = entries[other.native()];
    if (!forged.contains("handle")) GTEST_SKIP() << "this file system gives no file handles";
    forged["path"] = gone.native();
    entries[gone.native()] = forged;  // as it would be found: renamed beside the old place
    ASSERT_TRUE(store.defaults.setValue(key, entries));
    EXPECT_EQ(store.manager.resolveBookmark(gone), other) << "control: the true handle finds it";
    entries = store.entries();
    auto handle = forged["handle"].get<std::string>();
    handle.back() = handle.back() == '0' ? '1' : '0';
    forged["handle"] = handle;
    entries[gone.native()] = forged;
    ASSERT_TRUE(store.defaults.setValue(key, entries));
    EXPECT_FALSE(store.manager.resolveBookmark(gone).has_value());
}

TEST(SecurityScopedBookmarkManager, ConcurrentSavesAllStay) {
    test::TempDir temp;
    Store first(temp / "defaults.json");
    Store second(temp / "defaults.json");  // another instance on the same settings
    std::vector<fs::path> files;
    for (int i = 0; i < 800; ++i) files.push_back(temp.write("f/" + std::to_string(i)));
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t * 100; i < (t + 1) * 100; ++i) (t % 2 ? first : second).manager.saveBookmark(files[i]);
            });
        }
    }
    EXPECT_EQ(first.entries().size(), 800u);
}

TEST(SecurityScopedBookmarkManager, AnEntryItCannotReadSurvivesSaves) {
    test::TempDir temp;
    Store store(temp / "defaults.json");
    const nlohmann::json damaged{{"/x", 42}, {"/y", {{"path", 5}}}, {"/z", {{"path", "/z"}, {"device", -1}}}};
    ASSERT_TRUE(store.defaults.setValue(key, damaged));
    store.manager.saveBookmark(temp.write("good"));
    const auto entries = store.entries();
    EXPECT_EQ(entries.size(), 4u);
    for (const auto& [path, record] : damaged.items()) EXPECT_EQ(entries[path], record) << path;
    EXPECT_FALSE(store.manager.resolveBookmark("/x").has_value());
    EXPECT_EQ(store.lines,
              std::vector<std::string>{"Failed to resolve security-scoped bookmark: the bookmark data for /x is damaged"});
}

TEST(SecurityScopedBookmarkManager, PathsThatAreNotUTF8RoundTrip) {
    test::TempDir temp;
    const auto e9 = temp.write("caf\xE9");
    const auto e8 = temp.write("caf\xE8");
    {
        Store store(temp / "defaults.json");
        store.manager.saveBookmark(e9);
        store.manager.saveBookmark(e8);
    }
    Store reread(temp / "defaults.json");
    EXPECT_EQ(reread.entries().size(), 2u);
    EXPECT_EQ(reread.manager.resolveBookmark(e9), e9);
    EXPECT_EQ(reread.manager.resolveBookmark(e8), e8);
}

}  // namespace
}  // namespace morvale
