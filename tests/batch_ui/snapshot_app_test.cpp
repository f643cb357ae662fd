#include "batch_ui/morvale_express_app.h"

#include "batch_ui/form_rows.h"
#include "support/temp_dir.h"

#include <QDir>
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

// The built program itself, when it sits where this build puts it.
TEST(SnapshotExecutable, WritesBothPicturesAndExitsZero) {
    const QString program =
        QDir(QStringLiteral(QT_TESTCASE_BUILDDIR)).absoluteFilePath(QStringLiteral("../../src/app/morvale-express"));
    if (!QFileInfo(program).isExecutable()) {
        GTEST_SKIP() << "morvale-express is not built in this tree";
    }
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

// Every way the mode cannot do what it was asked: one line on standard error that says why, a
// failure status, and no picture. A folder is made read-only by mounting one over it in a mount
// namespace of the program's own (root ignores permission bits).
TEST(SnapshotExecutable, BadSizesAndPathsFailWithOneLineAndAStatus) {
    const QString program =
        QDir(QStringLiteral(QT_TESTCASE_BUILDDIR)).absoluteFilePath(QStringLiteral("../../src/app/morvale-express"));
    if (!QFileInfo(program).isExecutable()) {
        GTEST_SKIP() << "morvale-express is not built in this tree";
    }
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
        {{"--snapshot", "@/missing/a.png"}, false, "morvale-express: Cannot write a.png: No such file or directory\n", 1},
        {{"--snapshot", "@/a.png"}, true, "morvale-express: Cannot write a.png: Read-only file system\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (c.readOnly && !namespaces) continue;
        test::TempDir dir;
        QStringList arguments;
        for (const char* argument : c.arguments) {
            arguments << QString::fromUtf8(argument).replace(QLatin1Char('@'), toQString(dir.path()));
        }
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), toQString(dir / "config"));
        process.setProcessEnvironment(environment);
        if (c.readOnly) {
            // sh -c SCRIPT sh FOLDER PROGRAM ARGUMENTS...: mount over FOLDER, then run the program.
            const QString script = QStringLiteral(
                "if unshare -m true 2>/dev/null; then u='unshare -m'; else u='unshare -Urm'; fi; "
                "exec $u sh -c 'mount -t tmpfs -o ro tmpfs \"$1\" && shift && exec \"$@\"' sh \"$@\"");
            const QStringList wrapped{QStringLiteral("-c"), script, QStringLiteral("sh"), toQString(dir.path()), program};
            process.start(QStringLiteral("sh"), wrapped + arguments);
        } else {
            process.start(program, arguments);
        }
        ASSERT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), c.status);
        const std::string error = process.readAllStandardError().toStdString();
        EXPECT_NE(error.find(c.line), std::string::npos) << error;
        EXPECT_FALSE(std::filesystem::exists(dir / "a.png"));
        EXPECT_FALSE(std::filesystem::exists(dir / "a-options.png"));
    }
}

}  // namespace
}  // namespace morvale
