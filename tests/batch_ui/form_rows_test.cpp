#include "batch_ui/form_rows.h"

#include "support/temp_dir.h"
#include "window_test_app.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace morvale {
namespace {

class FormRowsTest : public ::testing::Test {
protected:
    void SetUp() override { test::ensureWidgetsApp(); }
};

TEST_F(FormRowsTest, OptionNoteShowsItsTextVerbatim) {
    // Markup-looking text and ampersands must not be interpreted.
    OptionNote note(QStringLiteral("<b>Bold?</b> & _AO"));
    EXPECT_EQ(note.text(), QStringLiteral("<b>Bold?</b> & _AO"));
    EXPECT_EQ(note.textFormat(), Qt::PlainText);
}

TEST_F(FormRowsTest, FilePickerWithoutFileOffersChooseAndCancelDoesNothing) {
    std::vector<std::optional<std::filesystem::path>> calls;
    FilePickerRow row(QStringLiteral("Logo"), std::nullopt, {QStringLiteral("Images (*.png *.jpg)")},
                      [&](const auto& url) { calls.push_back(url); });
    ASSERT_NE(row.chooseButton(), nullptr);
    EXPECT_EQ(row.chooseButton()->text(), QStringLiteral("Choose…"));
    EXPECT_EQ(row.removeButton(), nullptr);

    QStringList seenTypes;
    row.setChooser([&](const QStringList& types) -> std::optional<std::filesystem::path> {
        seenTypes = types;
        return std::nullopt;  // the user cancelled
    });
    row.chooseButton()->click();
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(seenTypes, QStringList{QStringLiteral("Images (*.png *.jpg)")});

    row.setChooser([](const QStringList&) { return std::optional<std::filesystem::path>("/tmp/logo.png"); });
    row.chooseButton()->click();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::filesystem::path("/tmp/logo.png"));
}

TEST_F(FormRowsTest, FilePickerWithFileShowsItsNameRedWhenGoneAndRemoveClears) {
    test::TempDir dir;
    const auto file = dir.write("a very long file name that goes on and on and on and on.png", "x");
    std::vector<std::optional<std::filesystem::path>> calls;
    FilePickerRow row(QStringLiteral("Cover Art"), file, {}, [&](const auto& url) { calls.push_back(url); });
    row.resize(220, 30);
    row.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&row));
    EXPECT_EQ(row.chooseButton(), nullptr);
    ASSERT_NE(row.fileLabel(), nullptr);
    EXPECT_EQ(row.fileLabel()->text(), toQString(file.filename()));
    EXPECT_EQ(row.removeButton()->toolTip(), QStringLiteral("Remove"));
    row.repaint();
    EXPECT_TRUE(row.fileShownAsPresent());

    std::filesystem::remove(file);
    row.repaint();
    EXPECT_FALSE(row.fileShownAsPresent());  // red at the next redraw
    EXPECT_TRUE(calls.empty());              // and the stored file is not cleared

    row.removeButton()->click();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].has_value());
}

TEST_F(FormRowsTest, NamingPatternSectionWritesEveryKeystrokeAndAcceptsEmpty) {
    QString stored = QStringLiteral("{name}");
    int writes = 0;
    NamingPatternSection section({[&] { return stored; },
                                  [&](const QString& text) {
                                      stored = text;
                                      ++writes;
                                  }},
                                 QStringLiteral("{name}, {ext}"));
    EXPECT_EQ(section.title(), QStringLiteral("File Naming"));
    EXPECT_EQ(section.field()->text(), QStringLiteral("{name}"));
    EXPECT_EQ(section.field()->placeholderText(), QStringLiteral("Pattern"));
    const auto notes = section.findChildren<OptionNote*>();
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(notes[0]->text(), QStringLiteral("Available: {name}, {ext}"));

    QTest::keyClicks(section.field(), QStringLiteral("_x"));
    EXPECT_EQ(stored, QStringLiteral("{name}_x"));
    EXPECT_EQ(writes, 2);
    section.field()->selectAll();
    QTest::keyClick(section.field(), Qt::Key_Backspace);
    EXPECT_EQ(stored, QString());

    // A change made elsewhere shows up on refresh, without a write back.
    stored = QStringLiteral("{name}_{index:02}");
    const int before = writes;
    section.refresh();
    EXPECT_EQ(section.field()->text(), stored);
    EXPECT_EQ(writes, before);
}

}  // namespace
}  // namespace morvale
