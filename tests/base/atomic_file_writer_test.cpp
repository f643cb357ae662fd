#include "base/atomic_file_writer.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace morvale {
namespace {

namespace fs = std::filesystem;

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

mode_t modeOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// Restores the process umask when the case is done.
struct UmaskScope {
    explicit UmaskScope(mode_t mask) : previous(::umask(mask)) {}
    ~UmaskScope() { ::umask(previous); }
    mode_t previous;
};

TEST(AtomicFileWriter, ReplacedFilesKeepTheirModeAndNewFilesGetTheUmasksOne) {
    struct Case {
        const char* name;
        std::optional<mode_t> existing;
        mode_t umask;
        bool libraryReplacesTemporary;  // bytes arrive by a rename onto temporaryPath(), as encoders do
        mode_t expected;
    };
    const Case cases[] = {
        {"replaced 0640", 0640, 022, false, 0640},
        {"replaced 0604 by a library", 0604, 077, true, 0604},
        {"new under 027", std::nullopt, 027, false, 0640},
        {"new under 0 by a library", std::nullopt, 0, true, 0666},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const fs::path file = dir / "out.png";
        if (c.existing) {
            dir.write("out.png", "old");
            ASSERT_EQ(::chmod(file.c_str(), *c.existing), 0);
        }
        UmaskScope mask(c.umask);
        AtomicFileWriter writer(file);
        if (c.libraryReplacesTemporary) {
            const fs::path other = dir.write("encoder-output", "new");
            ASSERT_EQ(::chmod(other.c_str(), 0600), 0);
            fs::rename(other, writer.temporaryPath());
        } else {
            writer.write("new");
        }
        writer.commit();
        EXPECT_EQ(test::readFile(file), "new");
        EXPECT_EQ(modeOf(file), c.expected);
        EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out.png"});
    }
}

TEST(AtomicFileWriter, EveryFailureRemovesTheTemporaryAndKeepsTheOldFile) {
    struct Case {
        const char* name;
        const char* destination;  // below the case's folder, which holds "old.txt" and "blocker"
        AtomicFileWriter::Options options;
        std::function<void(AtomicFileWriter&)> act;
        const char* message;  // empty: no failure expected, the writer is abandoned
    };
    const auto writeAndCommit = [](AtomicFileWriter& w) {
        w.write("new bytes");
        w.commit();
    };
    const Case cases[] = {
        {"rename onto a folder", "taken", {}, writeAndCommit, "Cannot write taken: Is a directory"},
        {"missing folder, not made", "missing/x.json", {false, true}, writeAndCommit,
         "Cannot write x.json: No such file or directory"},
        {"a file where the folder goes", "blocker/x.json", {}, writeAndCommit,
         "Cannot write x.json: Not a directory"},
        {"write past the file-size limit", "old.txt", {},
         [](AtomicFileWriter& w) {
             ::rlimit previous{};
             ::getrlimit(RLIMIT_FSIZE, &previous);
             ::rlimit small = previous;
             small.rlim_cur = 4096;
             ::setrlimit(RLIMIT_FSIZE, &small);
             const auto restore = [&] { ::setrlimit(RLIMIT_FSIZE, &previous); };
             try {
                 w.write(std::string(65536, 'x'));
             } catch (...) {
                 restore();
                 throw;
             }
             restore();
         },
         "Cannot write old.txt: File too large"},
        {"commit after the temporary vanished", "old.txt", {},
         [](AtomicFileWriter& w) {
             fs::remove(w.temporaryPath());
             w.commit();
         },
         "Cannot write old.txt: No such file or directory"},
        {"abandoned without commit", "old.txt", {}, [](AtomicFileWriter& w) { w.write("half"); }, ""},
    };
    std::signal(SIGXFSZ, SIG_IGN);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        dir.write("old.txt", "old");
        dir.write("blocker", "x");
        fs::create_directory(dir / "taken");
        const auto before = namesIn(dir.path());
        const std::string message = c.message;
        try {
            AtomicFileWriter writer(dir / c.destination, c.options);
            c.act(writer);
            EXPECT_TRUE(message.empty()) << "no error";
        } catch (const AtomicWriteError& error) {
            EXPECT_EQ(error.what(), message);
            EXPECT_EQ(error.path(), dir / c.destination);
            // Handlers of the standard library's file errors see it as one of theirs.
            EXPECT_NE(dynamic_cast<const fs::filesystem_error*>(&error), nullptr);
        }
        EXPECT_EQ(namesIn(dir.path()), before);
        EXPECT_EQ(test::readFile(dir / "old.txt"), "old");
    }
}

TEST(AtomicFileWriter, WritesTheLongestNameTheFileSystemTakes) {
    test::TempDir dir;
    const std::string name = std::string(251, 'n') + ".png";
    ASSERT_EQ(name.size(), 255u);
    AtomicFileWriter::writeFile(dir / name, "bytes");
    EXPECT_EQ(test::readFile(dir / name), "bytes");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{name});
}

}  // namespace
}  // namespace morvale
