#include "batch_ui/window_snapshot.h"

#include "batch_ui/form_rows.h"

#include "support/temp_dir.h"
#include "window_test_app.h"

#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QScrollArea>
#include <QSplitter>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace morvale {
namespace {

TEST(SnapshotArguments, ModeIsOnWithTheFlagAndNeedsAPathAfterIt) {
    EXPECT_FALSE(WindowSnapshot::parse({"app"}));
    const auto bare = WindowSnapshot::parse({"app", "--snapshot"});
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->error.empty());
    EXPECT_FALSE(WindowSnapshot::parse({"app", "--SNAPSHOT", "a.png"}));
    const auto request = WindowSnapshot::parse({"app", "--snapshot", "out/a.png", "--snapshot", "b.png"});
    ASSERT_TRUE(request);
    EXPECT_EQ(request->path, std::filesystem::path("out/a.png"));
    EXPECT_FALSE(request->size);
    const auto sized = WindowSnapshot::parse({"app", "--snapshot-size", "1200X800", "--snapshot", "a.png"});
    ASSERT_TRUE(sized && sized->size);
    EXPECT_EQ(*sized->size, QSize(1200, 800));
    const auto sizeLast = WindowSnapshot::parse({"app", "--snapshot", "a.png", "--snapshot-size"});
    ASSERT_TRUE(sizeLast);
    EXPECT_FALSE(sizeLast->size);
}

TEST(SnapshotArguments, SizeTakesExactlyTwoFiniteNumbersWithinBounds) {
    struct Case {
        const char* text;
        std::optional<QSize> expected;
    };
    const Case cases[] = {
        {"1200x800", QSize(1200, 800)},
        {"1200X800", QSize(1200, 800)},
        {"x1200xx800", QSize(1200, 800)},
        {"1200.4x799.6", QSize(1200, 800)},
        {"1x16384", QSize(1, 16384)},
        {"1200x", std::nullopt},
        {"1200x800x600", std::nullopt},
        {"1200xabcx800", QSize(1200, 800)},  // pieces that aren't numbers are skipped
        {"0x800", std::nullopt},
        {"-5x800", std::nullopt},
        {"16385x800", std::nullopt},
        {"infx800", std::nullopt},
        {"nanx800", std::nullopt},
        {"1e300x800", std::nullopt},
        {" 1200x800", std::nullopt},  // a blank makes the piece unreadable, leaving one number
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WindowSnapshot::parseSize(QString::fromLatin1(c.text)), c.expected) << c.text;
    }
}

TEST(SnapshotArguments, OptionsPathReplacesTheExtension) {
    EXPECT_EQ(WindowSnapshot::optionsPath("/tmp/shot.png"), std::filesystem::path("/tmp/shot-options.png"));
    EXPECT_EQ(WindowSnapshot::optionsPath("/tmp/shot"), std::filesystem::path("/tmp/shot-options.png"));
    EXPECT_EQ(WindowSnapshot::optionsPath("rel/a.b.png"), std::filesystem::path("rel/a.b-options.png"));
}

// A window whose queue list is far taller than its options sidebar: the sidebar is captured anyway.
TEST(SnapshotCapture, CapturesTheNamedSidebarNotTheTallestScrollView) {
    test::ensureWidgetsApp();
    test::TempDir dir;
    QMainWindow window;
    auto* splitter = new QSplitter(&window);
    auto* queue = new QScrollArea(splitter);
    auto* longList = new QWidget;
    longList->setMinimumSize(300, 3000);
    queue->setWidget(longList);
    auto* sidebar = new QScrollArea(splitter);
    sidebar->setObjectName(WindowSnapshot::kOptionsObjectName);
    sidebar->setWidgetResizable(true);
    auto* form = new QWidget;
    auto* layout = new QVBoxLayout(form);
    for (int i = 0; i < 40; ++i) {
        layout->addWidget(new QLabel(QStringLiteral("Option row %1").arg(i)));
    }
    sidebar->setWidget(form);
    window.setCentralWidget(splitter);
    window.resize(700, 400);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    const auto path = dir / "shot.png";
    EXPECT_EQ(WindowSnapshot::capture(&window, path), 2);
    const QImage shot(toQString(path));
    const QImage options(toQString(dir / "shot-options.png"));
    ASSERT_FALSE(shot.isNull());
    ASSERT_FALSE(options.isNull());
    const double ratio = window.devicePixelRatioF();
    EXPECT_EQ(shot.size(), (QSizeF(window.size()) * ratio).toSize());
    EXPECT_EQ(options.height(), static_cast<int>(form->height() * ratio));
    EXPECT_GT(form->height(), sidebar->viewport()->height());  // content beyond the visible part is included
    EXPECT_LT(options.height(), static_cast<int>(3000 * ratio));
}

}  // namespace
}  // namespace morvale

namespace morvale {
namespace {

TEST(SnapshotCapture, WindowWithoutSidebarWritesOnlyTheWindowImage) {
    test::ensureWidgetsApp();
    test::TempDir dir;
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("plain")));
    window.resize(300, 200);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(WindowSnapshot::capture(&window, dir / "shot"), 1);
    EXPECT_FALSE(QImage(toQString(dir / "shot")).isNull());  // PNG data without an extension
    EXPECT_FALSE(std::filesystem::exists(dir / "shot-options.png"));
    // An unwritable destination is skipped without a throw.
    EXPECT_EQ(WindowSnapshot::capture(&window, dir / "missing" / "folder" / "x.png"), 0);
}

}  // namespace
}  // namespace morvale
