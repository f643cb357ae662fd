#include "batch_ui/file_manager_reveal.h"

#include "window_test_app.h"
#include "support/wait_until.h"

#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace morvale {
namespace {

// Runs in a fresh process with no session bus and nothing on the path that could open a folder:
// the one line for the log names the folder, and no other line comes.
void revealWithNothingToOpenIt(const std::filesystem::path& folder) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/morvale-test-bus", 1);
    ::setenv("PATH", "/nonexistent", 1);
    for (const char* name : {"BROWSER", "DEFAULT_BROWSER", "XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION"}) ::unsetenv(name);
    test::ensureWidgetsApp();
    std::vector<std::string> lines;
    revealInFileManager({folder / "a.png"}, [&lines](const std::string& line) { lines.push_back(line); });
    (void)QTest::qWaitFor([&] { return !lines.empty(); }, test::hangGuardMilliseconds);
    QTest::qWait(100);
    for (const auto& line : lines) std::fprintf(stderr, "[%s]\n", line.c_str());
    std::exit(lines.size() == 1 ? 0 : 1);
}

TEST(FileManagerRevealDeathTest, FolderThatCannotBeOpenedIsReportedOnceWithItsPath) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::filesystem::path folder = "/tmp/morvale reveal test";
    EXPECT_EXIT(revealWithNothingToOpenIt(folder), ::testing::ExitedWithCode(0),
                "\\[Could not open the folder /tmp/morvale reveal test: no file manager or launcher answered\\.\\]");
}

}  // namespace
}  // namespace morvale
