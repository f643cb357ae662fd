#include "batch_ui/morvale_express_app.h"

#include "batch_ui/form_rows.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <QImage>

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace morvale {
namespace {

void expectSnapshotPair(const std::filesystem::path& folder) {
    const QImage window(toQString(folder / "out.png"));
    const QImage options(toQString(folder / "out-options.png"));
    ASSERT_FALSE(window.isNull());
    ASSERT_FALSE(options.isNull());
    EXPECT_EQ(window.size(), QSize(1200, 800));
    // The options sidebar's content: narrower than the sidebar's 340 points, the whole form tall.
    EXPECT_LE(options.width(), 340);
    EXPECT_GT(options.height(), 300);
    EXPECT_LT(options.height(), 4000);
}

[[noreturn]] void runEntry(const std::string& out) {
    std::vector<std::string> args{"morvale-express", "--snapshot", out, "--snapshot-size", "1200x800"};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::exit(MorvaleExpressApp::main(static_cast<int>(args.size()), argv.data()));
}

// The application entry in a fresh process (no application object exists there yet), as the
// executable's main() runs it: it writes both pictures and ends with status 0.
TEST(SnapshotAppDeathTest, EntryWritesWindowAndOptionsPicturesAndExitsZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::TempDir dir;
    // The child runs this test again from the top: it must write where the parent looks.
    const char* inherited = std::getenv("MORVALE_SNAPSHOT_TEST_DIR");
    const std::filesystem::path folder = inherited != nullptr ? std::filesystem::path(inherited) : dir.path();
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> savedConfig = config != nullptr ? std::optional<std::string>(config) : std::nullopt;
    ::setenv("MORVALE_SNAPSHOT_TEST_DIR", folder.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_EXIT(runEntry((folder / "out.png").string()), ::testing::ExitedWithCode(0), "");
    ::unsetenv("MORVALE_SNAPSHOT_TEST_DIR");
    if (savedConfig) {
        ::setenv("XDG_CONFIG_HOME", savedConfig->c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    expectSnapshotPair(folder);
}

// Starts `program` in `folder` with `overrides` added to this process's environment and waits up to
// `timeout`; the exit status, or nothing when it did not end normally in time (it is then killed).
// posix_spawn rather than QProcess: ThreadSanitizer's clone() hook aborts on Qt's way of starting a child.
std::optional<int> runProgram(const std::string& program, const std::vector<std::string>& args,
                              const std::filesystem::path& folder, const std::vector<std::string>& overrides,
                              std::chrono::seconds timeout, const std::filesystem::path& errorFile = {}) {
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore(overrides);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto name = text.substr(0, text.find('=') + 1);
        if (std::none_of(overrides.begin(), overrides.end(), [&](const std::string& o) { return o.starts_with(name); })) {
            envStore.emplace_back(text);
        }
    }
    const auto pointers = [](std::vector<std::string>& store) {
        std::vector<char*> list;
        for (auto& text : store) list.push_back(text.data());
        list.push_back(nullptr);
        return list;
    };
    std::vector<char*> argv = pointers(argStore);
    std::vector<char*> envp = pointers(envStore);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    if (!errorFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t pid = 0;
    const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

// The built program itself.
TEST(SnapshotExecutable, WritesBothPicturesAndExitsZero) {
    const std::string program = MORVALE_APP_PATH;
    ASSERT_EQ(::access(program.c_str(), X_OK), 0) << program;
    test::TempDir dir;
    // A relative path is resolved against the working folder.
    const std::optional<int> status =
        runProgram(program, {"--snapshot", "out.png", "--snapshot-size", "1200x800"}, dir.path(),
                   {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + (dir / "config").string()}, test::hangGuard);
    EXPECT_EQ(status, 0);
    expectSnapshotPair(dir.path());
}

// Every way the mode cannot do what it was asked: one line on standard error that says why, a
// failure status, and no picture. A folder is made read-only by mounting one over it in a mount
// namespace of the program's own (root ignores permission bits).
TEST(SnapshotExecutable, BadSizesAndPathsFailWithOneLineAndAStatus) {
    const std::string program = MORVALE_APP_PATH;
    ASSERT_EQ(::access(program.c_str(), X_OK), 0) << program;
    const bool namespaces = std::system("unshare -m true 2>/dev/null || unshare -Urm true 2>/dev/null") == 0;
    struct Case {
        std::vector<const char*> arguments;  // "@" stands for the test's folder
        bool readOnly;
        const char* line;
        int status;
    };
    const std::vector<Case> cases{
        {{"--snapshot", "@/a.png", "--snapshot-size", "0x0"}, false,
         "morvale-express: invalid --snapshot-size \"0x0\": give the window's width and height as WIDTHxHEIGHT, each "
         "from 1 to 16384\n",
         2},
        {{"--snapshot", "@/a.png", "--snapshot-size", "-5x10"}, false, "invalid --snapshot-size \"-5x10\"", 2},
        {{"--snapshot", "@/a.png", "--snapshot-size", "99999x99999"}, false, "invalid --snapshot-size \"99999x99999\"", 2},
        {{"--snapshot", "@/a.png", "--snapshot-size", "abc"}, false, "invalid --snapshot-size \"abc\"", 2},
        {{"--snapshot", "@/a.png", "--snapshot-size"}, false, "morvale-express: --snapshot-size needs a value such as 1200x800\n", 2},
        {{"--snapshot-size", "800x600", "--snapshot"}, false,
         "morvale-express: --snapshot needs the path of the picture to write, such as out.png\n", 2},
        {{"--snapshot", "@/missing/a.png"}, false, "morvale-express: Cannot write a.png: No such file or directory\n", 1},
        {{"--snapshot", "@/a.png"}, true, "morvale-express: Cannot write a.png: Read-only file system\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.readOnly && !namespaces) continue;
        test::TempDir dir;
        test::TempDir logs;
        std::vector<std::string> arguments;
        for (const char* argument : c.arguments) {
            std::string text(argument);
            if (const auto at = text.find('@'); at != std::string::npos) text.replace(at, 1, dir.path().string());
            arguments.push_back(std::move(text));
        }
        std::string started = program;
        if (c.readOnly) {
            // sh -c SCRIPT sh FOLDER PROGRAM ARGUMENTS...: mount over FOLDER, then run the program.
            std::vector<std::string> wrapped{
                "-c",
                "if unshare -m true 2>/dev/null; then u='unshare -m'; else u='unshare -Urm'; fi; "
                "exec $u sh -c 'mount -t tmpfs -o ro tmpfs \"$1\" && shift && exec \"$@\"' sh \"$@\"",
                "sh", dir.path().string(), program};
            wrapped.insert(wrapped.end(), arguments.begin(), arguments.end());
            arguments = std::move(wrapped);
            started = "/bin/sh";
        }
        const auto errorFile = logs / "stderr.txt";
        const std::optional<int> status =
            runProgram(started, arguments, dir.path(),
                       {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + (dir / "config").string()},
                       test::hangGuard, errorFile);
        EXPECT_EQ(status, c.status);
        std::ifstream in(errorFile);
        std::stringstream error;
        error << in.rdbuf();
        EXPECT_NE(error.str().find(c.line), std::string::npos) << error.str();
        EXPECT_FALSE(std::filesystem::exists(dir / "a.png"));
        EXPECT_FALSE(std::filesystem::exists(dir / "a-options.png"));
    }
}

}  // namespace
}  // namespace morvale
