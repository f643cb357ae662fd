#include "batch_ui/morvale_express_app.h"

#include "batch_ui/form_rows.h"
#include "support/temp_dir.h"

#include <QFileInfo>
#include <QImage>
#include <QProcess>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

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

// The built program itself.
TEST(SnapshotExecutable, WritesBothPicturesAndExitsZero) {
    const QString program = QStringLiteral(MORVALE_APP_PATH);
    ASSERT_TRUE(QFileInfo(program).isExecutable()) << MORVALE_APP_PATH;
    test::TempDir dir;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), toQString(dir / "config"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(toQString(dir.path()));
    // A relative path is resolved against the working folder.
    process.start(program, {QStringLiteral("--snapshot"), QStringLiteral("out.png"), QStringLiteral("--snapshot-size"),
                            QStringLiteral("1200x800")});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    expectSnapshotPair(dir.path());
}

}  // namespace
}  // namespace morvale
