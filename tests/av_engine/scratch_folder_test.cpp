#include "av_engine/scratch_folder.h"

#include "support/owner_process.h"
#include "support/shell_command.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <filesystem>
#include <string>
#include <vector>

namespace morvale {
namespace {

namespace fs = std::filesystem;

void makeOld(const fs::path& path) {
    const std::time_t old = std::time(nullptr) - 2 * 86400;
    const timespec times[2] = {{old, 0}, {old, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Scratch folders of exports that were killed, of exports still running (here: in a child that
// holds its folder), and what merely looks like one: only the first kind goes, with a log line. What
// is planted under the lock's name neither makes the sweep wait nor counts as a lock, and what takes
// a folder's name after its check is not touched.
TEST(ScratchFolder, SweepRemovesFoldersOfKilledExportsOnly) {
    enum class Owner { running, killed, olderBuildFresh, olderBuildOld };
    enum class Kind { folder, symlink, otherUser, notAUuid, fifoLock, linkedLock, swappedAfterCheck };
    struct Case {
        const char* name;
        Owner owner;
        Kind kind;
        bool removed;
    };
    const Case cases[] = {
        {"running export", Owner::running, Kind::folder, false},
        {"killed export", Owner::killed, Kind::folder, true},
        {"older build's, fresh", Owner::olderBuildFresh, Kind::folder, false},
        {"older build's, two days old", Owner::olderBuildOld, Kind::folder, true},
        {"killed export's name on a link", Owner::killed, Kind::symlink, false},
        {"killed export's, another user's", Owner::killed, Kind::otherUser, false},
        {"killed export's, renamed to no UUID", Owner::killed, Kind::notAUuid, false},
        {"a FIFO for the lock", Owner::killed, Kind::fifoLock, false},
        {"a FIFO for the lock, two days old", Owner::olderBuildOld, Kind::fifoLock, true},
        {"a link to a free lock for the lock", Owner::killed, Kind::linkedLock, false},
        {"killed export's, swapped for a user's folder after the check", Owner::killed, Kind::swappedAfterCheck, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.kind == Kind::otherUser && ::geteuid() != 0) continue;  // only root can give a folder away
        test::TempDir base;
        test::OwnerProcess exporter([&] {
            auto* scratch = new ScratchFolder(base.path());  // held until the kill, as mid-export
            std::FILE* episode = std::fopen((*scratch / "episode.wav").c_str(), "w");
            if (episode) std::fclose(episode);
            return scratch->path().string();
        });
        ASSERT_FALSE(exporter.made().empty());
        fs::path folder = exporter.made();
        if (c.owner != Owner::running) exporter.kill();
        if (c.owner == Owner::olderBuildFresh || c.owner == Owner::olderBuildOld) fs::remove(folder / "owner.lock");
        const fs::path elsewhere = base / "elsewhere";
        if (c.kind == Kind::fifoLock || c.kind == Kind::linkedLock) {
            const fs::path lock = folder / "owner.lock";
            fs::remove(lock);
            if (c.kind == Kind::fifoLock) {
                ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
            } else {
                fs::create_symlink(base.write("free.lock"), lock);
            }
        }
        if (c.kind == Kind::symlink) {
            fs::rename(folder, elsewhere);
            fs::create_directory_symlink(elsewhere, folder);
        }
        if (c.kind == Kind::otherUser) {
            ASSERT_EQ(::chown(folder.c_str(), 4242, 4242), 0);
        }
        if (c.kind == Kind::notAUuid) {
            const fs::path renamed = base / "Skeldon-1234";
            fs::rename(folder, renamed);
            folder = renamed;
        }
        if (c.owner == Owner::olderBuildOld) makeOld(folder);
        // The checked folder moves away, and a user's own folder takes its name.
        const auto swap = [&](const fs::path& checked) {
            if (c.kind != Kind::swappedAfterCheck) return;
            fs::rename(checked, elsewhere);
            base.write(checked.filename().string() + "/keep.txt");
        };

        std::vector<std::string> lines;
        ScratchFolder::removeAbandoned(base.path(), [&](const std::string& line) { lines.push_back(line); }, swap);

        std::error_code error;
        EXPECT_EQ(!fs::exists(fs::symlink_status(folder, error)), c.removed);
        if (c.removed) {
            EXPECT_EQ(lines, std::vector<std::string>{"Removed scratch folder " + folder.string() + " left by an earlier run"});
        } else {
            EXPECT_TRUE(lines.empty());
        }
        if (c.kind == Kind::symlink) {
            EXPECT_TRUE(fs::exists(elsewhere / "episode.wav"));
        }
        if (c.kind == Kind::swappedAfterCheck) {
            EXPECT_TRUE(fs::exists(folder / "keep.txt"));
        }
    }
}

// The folder's own export, in this very process, keeps it from a sweep at the same moment (as a
// second export of the same batch starting does), and leaves nothing once it ends.
TEST(ScratchFolder, ASweepKeepsTheFoldersOfThisProcessAndEndingRemovesThem) {
    test::TempDir base;
    fs::path path;
    {
        const ScratchFolder scratch(base.path());
        path = scratch.path();
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        ScratchFolder::removeAbandoned(base.path(), [](const std::string& line) { ADD_FAILURE() << line; });
        EXPECT_TRUE(fs::is_directory(path));
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::is_empty(base.path()));
}

// A temporary folder that cannot hold the export's folder is named, with what is wrong with it.
TEST(ScratchFolder, AnUnusableTemporaryFolderIsNamedWithWhatIsWrong) {
    const test::TempDir dir;
    const fs::path file = dir.write("file");
    const fs::path locked = dir / "locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const struct {
        fs::path tmpdir;
        std::string reason;
    } cases[] = {
        {dir / "missing", "The temporary folder " + (dir / "missing").string() + " (from TMPDIR) does not exist"},
        {file, "The temporary folder " + file.string() + " (from TMPDIR) is not a folder"},
        {locked, "Cannot write in the temporary folder " + locked.string() + ": Permission denied"},
    };
    const test::ScopedTmpdir restored(dir / "tmp");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tmpdir);
        if (c.tmpdir == locked && ::geteuid() == 0) continue;  // root writes anywhere
        ::setenv("TMPDIR", c.tmpdir.c_str(), 1);
        try {
            const ScratchFolder scratch(ScratchFolder::defaultBase());
            ADD_FAILURE() << "made " << scratch.path();
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), c.reason);
        }
    }
}

}  // namespace
}  // namespace morvale
