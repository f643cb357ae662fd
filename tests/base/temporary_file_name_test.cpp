#include "base/temporary_file_name.h"

#include "base/atomic_file_writer.h"
#include "base/process_identity.h"
#include "support/owner_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace morvale {
namespace {

namespace fs = std::filesystem;
using Owner = TemporaryFileName::Owner;

// A temporary with `name` that this process's writer would make if it had started at another moment:
// its id is alive, but it is not the same process.
std::string reusedPidName(const std::string& name) {
    const ProcessIdentity self = ProcessIdentity::current();
    const std::string tag = name.substr(name.rfind('-'));
    return ".mx-" + std::to_string(self.pid) + "-" + std::to_string(self.startTime + 1) + tag;
}

void makeOld(const fs::path& file) {
    const timespec times[2] = {{::time(nullptr) - 2 * 86400, 0}, {::time(nullptr) - 2 * 86400, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

TEST(TemporaryFileName, NamesAreTheWritersOwnAndCarryItsExtension) {
    const ProcessIdentity self = ProcessIdentity::current();
    const std::string own = TemporaryFileName::make("/out/photo.png");
    EXPECT_TRUE(own.starts_with(".mx-" + std::to_string(self.pid) + "-")) << own;
    EXPECT_TRUE(own.ends_with(".png")) << own;
    EXPECT_FALSE(TemporaryFileName::make("/out/x.a-very-long-extension").ends_with("extension"));

    struct Case {
        std::string name;
        Owner owner;
    };
    const Case cases[] = {
        {own, Owner::alive},
        {TemporaryFileName::make("/out/Makefile"), Owner::alive},
        {TemporaryFileName::make("/out/trailing."), Owner::alive},
        {reusedPidName(own), Owner::gone},
        {".mx-0123456789abcdef.png", Owner::unknown},
        {".mx-0123456789abcdef", Owner::unknown},
        // Not what any writer of ours makes: left alone whatever happens.
        {".mx-0123456789abcde.png", Owner::notOurs},
        {".mx-0123456789ABCDEF", Owner::notOurs},
        {".mx-0123456789abcdef.tar.gz", Owner::notOurs},
        {".mx-0123456789abcdef.0123456789abcdefg", Owner::notOurs},
        {".mx-0-5-0123456789abcdef", Owner::notOurs},
        {".mx--5-0123456789abcdef", Owner::notOurs},
        {".mx-+12-5-0123456789abcdef", Owner::notOurs},
        {".mx-write-check-Ab12Cd", Owner::notOurs},
        {"mx-0123456789abcdef", Owner::notOurs},
        {"photo.png", Owner::notOurs},
    };
    for (const Case& c : cases) EXPECT_EQ(TemporaryFileName::ownerOf(c.name), c.owner) << c.name;
}

// What a killed writer leaves and what a living one holds, in every shape the sweep meets: only
// our own regular files whose writer is gone are removed, at any depth the sweep reaches.
TEST(TemporaryFileName, SweepRemovesWhatGoneWritersLeftAndNothingElse) {
    enum class Writer { alive, aliveWithOddName, killed, killedWithOddName, reusedPid, olderBuildFresh, olderBuildOld };
    enum class Kind { file, symlink, folder, otherUser };
    struct Case {
        const char* name;
        Writer writer;
        Kind kind;
        const char* folder;  // below the swept root
        bool removed;
    };
    const Case cases[] = {
        {"living writer", Writer::alive, Kind::file, "", false},
        {"killed writer", Writer::killed, Kind::file, "", true},
        {"killed writer named with ') ('", Writer::killedWithOddName, Kind::file, "", true},
        {"living writer named with ') ('", Writer::aliveWithOddName, Kind::file, "", false},
        {"pid now another process's", Writer::reusedPid, Kind::file, "", true},
        {"killed writer, third subfolder", Writer::killed, Kind::file, "a/b/c", true},
        {"living writer, third subfolder", Writer::alive, Kind::file, "a/b/c", false},
        {"killed writer, beyond the depth", Writer::killed, Kind::file, "a/b/c/d", false},
        {"older build's, fresh", Writer::olderBuildFresh, Kind::file, "", false},
        {"older build's, two days old", Writer::olderBuildOld, Kind::file, "sub", true},
        {"killed writer's name on a link", Writer::killed, Kind::symlink, "", false},
        {"killed writer's name on a folder", Writer::killed, Kind::folder, "", false},
        {"killed writer's name, another user's file", Writer::killed, Kind::otherUser, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.kind == Kind::otherUser && ::geteuid() != 0) continue;  // only root can give a file away
        test::TempDir dir;
        const fs::path root = dir / "out";
        const fs::path folder = *c.folder ? root / c.folder : root;
        fs::create_directories(folder);
        const fs::path destination = folder / "photo.png";
        const bool oddName = c.writer == Writer::killedWithOddName || c.writer == Writer::aliveWithOddName;
        test::OwnerProcess writer([&] {
            if (oddName) ::prctl(PR_SET_NAME, "a) b (c");
            // Kept open to the end, as a writer killed mid-write.
            auto* file = new AtomicFileWriter(destination);
            file->write("partial");
            return file->temporaryPath().string();
        });
        ASSERT_FALSE(writer.made().empty());
        fs::path temporary = writer.made();
        if (c.writer != Writer::alive && c.writer != Writer::aliveWithOddName) writer.kill();
        if (c.writer == Writer::reusedPid) {
            const fs::path reused = folder / reusedPidName(temporary.filename().string());
            fs::rename(temporary, reused);
            temporary = reused;
        }
        if (c.writer == Writer::olderBuildFresh || c.writer == Writer::olderBuildOld) {
            const fs::path older = folder / ".mx-00c0ffee00c0ffee.png";
            fs::rename(temporary, older);
            temporary = older;
            if (c.writer == Writer::olderBuildOld) makeOld(temporary);
        }
        const fs::path target = dir.write("target.png", "someone's");
        if (c.kind == Kind::symlink) {
            fs::remove(temporary);
            fs::create_symlink(target, temporary);
            makeOld(temporary);
        }
        if (c.kind == Kind::folder) {
            fs::remove(temporary);
            fs::create_directory(temporary);
        }
        if (c.kind == Kind::otherUser) {
            ASSERT_EQ(::chown(temporary.c_str(), 4242, 4242), 0);
        }
        dir.write("out/photo-of-someone-else.png", "kept");

        const auto removed = TemporaryFileName::removeAbandoned(root);

        std::error_code error;
        EXPECT_EQ(!fs::exists(fs::symlink_status(temporary, error)), c.removed);
        if (c.removed) {
            ASSERT_EQ(removed.size(), 1u);
            EXPECT_EQ(removed[0].folder, folder);
            EXPECT_EQ(removed[0].count, 1u);
        } else {
            EXPECT_TRUE(removed.empty());
        }
        EXPECT_EQ(test::readFile(target), "someone's");
        EXPECT_TRUE(fs::exists(root / "photo-of-someone-else.png"));
    }
}

}  // namespace
}  // namespace morvale
