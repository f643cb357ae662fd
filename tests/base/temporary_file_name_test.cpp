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

// A temporary's name that `owner` would give, with its pid and start time counted here or `elsewhere`:
// in another PID namespace (a container), or on another machine or boot.
enum class Where { here, otherNamespace, otherBoot };
std::string nameOf(ProcessIdentity owner, Where where = Where::here) {
    ProcessIdentity::Scope scope = ProcessIdentity::Scope::current().value();
    if (where == Where::otherNamespace) ++scope.pidNamespace;
    if (where == Where::otherBoot) scope.bootID = "0b5e55ed-0000-4000-8000-000000000000";
    owner.scope = scope.tag();
    return TemporaryFileName::make("/out/photo.png", owner);
}

// The same process had it started at another moment: its id is alive, but it is not the same process.
ProcessIdentity reused(ProcessIdentity self) {
    ++self.startTime;
    return self;
}

// An older build's name, which said nothing of where its pid counts.
std::string unscopedNameOf(const ProcessIdentity& owner) {
    return ".mx-" + std::to_string(owner.pid) + "-" + std::to_string(owner.startTime) + "-0123456789abcdef.png";
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
        bool judgedWithoutScope = false;  // by a process that cannot tell where its own ids count
    };
    const Case cases[] = {
        {own, Owner::alive},
        {TemporaryFileName::make("/out/Makefile"), Owner::alive},
        {TemporaryFileName::make("/out/trailing."), Owner::alive},
        {nameOf(reused(self)), Owner::gone},
        // Nothing can be proven of an id counted elsewhere, even one alive here.
        {nameOf(reused(self), Where::otherNamespace), Owner::unknown},
        {nameOf(reused(self), Where::otherBoot), Owner::unknown},
        {nameOf(reused(self)), Owner::unknown, true},
        {unscopedNameOf(reused(self)), Owner::unknown},
        {TemporaryFileName::make("/out/photo.png", {self.pid, self.startTime, 0}), Owner::unknown},
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
        {".mx-12-5-0123456789abcdef-0123456.png", Owner::notOurs},
        {".mx-write-check-Ab12Cd", Owner::notOurs},
        {"mx-0123456789abcdef", Owner::notOurs},
        {"photo.png", Owner::notOurs},
    };
    for (const Case& c : cases) {
        const std::uint64_t here = c.judgedWithoutScope ? 0 : ProcessIdentity::currentScope();
        EXPECT_EQ(TemporaryFileName::ownerOf(c.name, here), c.owner) << c.name;
    }
}

// What a killed writer leaves and what a living one holds, in every shape the sweep meets: only
// our own regular files whose writer is provably gone are removed, at any depth the sweep reaches,
// and nothing outside the root.
TEST(TemporaryFileName, SweepRemovesWhatGoneWritersLeftAndNothingElse) {
    enum class Writer { alive, aliveWithOddName, killed, killedWithOddName, reusedPid, otherNamespace, otherBoot,
                        otherBootOld, unscopedFresh, unscopedOld, ownerlessFresh, ownerlessOld };
    enum class Kind { file, symlink, folder, otherUser, parentSwappedForLink };
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
        {"killed writer of another PID namespace", Writer::otherNamespace, Kind::file, "", false},
        {"killed writer of another machine or boot", Writer::otherBoot, Kind::file, "", false},
        {"another machine's, two days old", Writer::otherBootOld, Kind::file, "", true},
        {"older build's with owner, fresh", Writer::unscopedFresh, Kind::file, "", false},
        {"older build's with owner, two days old", Writer::unscopedOld, Kind::file, "", true},
        {"ownerless, fresh", Writer::ownerlessFresh, Kind::file, "", false},
        {"ownerless, two days old", Writer::ownerlessOld, Kind::file, "sub", true},
        {"killed writer, parent swapped for a link mid-sweep", Writer::killed, Kind::parentSwappedForLink, "d1/d2",
         false},
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
        const ProcessIdentity writerID = ProcessIdentity::of(writer.pid()).value();
        if (c.writer != Writer::alive && c.writer != Writer::aliveWithOddName) writer.kill();
        const auto rename = [&](const std::string& name) {
            fs::rename(temporary, folder / name);
            temporary = folder / name;
        };
        switch (c.writer) {
            case Writer::reusedPid: rename(nameOf(reused(ProcessIdentity::current()))); break;
            case Writer::otherNamespace: rename(nameOf(writerID, Where::otherNamespace)); break;
            case Writer::otherBoot:
            case Writer::otherBootOld: rename(nameOf(writerID, Where::otherBoot)); break;
            case Writer::unscopedFresh:
            case Writer::unscopedOld: rename(unscopedNameOf(writerID)); break;
            case Writer::ownerlessFresh:
            case Writer::ownerlessOld: rename(".mx-00c0ffee00c0ffee.png"); break;
            default: break;
        }
        if (c.writer == Writer::otherBootOld || c.writer == Writer::unscopedOld || c.writer == Writer::ownerlessOld) {
            makeOld(temporary);
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
        TemporaryFileName::Limits limits;
        if (c.kind == Kind::parentSwappedForLink) {
            // d1 listed, then swapped before d1/d2 is opened: d2 is now a folder outside the root.
            limits.beforeOpening = [&](const fs::path& opening) {
                if (opening != root / "d1/d2") return;
                fs::rename(root / "d1", dir / "outside");
                fs::create_symlink(dir / "outside", root / "d1");
            };
        }

        const auto removed = TemporaryFileName::removeAbandoned(root, limits);

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
