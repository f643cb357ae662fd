#include "window_test_fixture.h"

#include "batch_ui/drop_zone.h"
#include "batch_ui/form_rows.h"
#include "batch_ui/queue_list_model.h"
#include "support/wait_until.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>

namespace morvale::test {
namespace {

class WindowQueueTest : public WindowFixture {
protected:
    static QString toQString(const std::filesystem::path& p) { return morvale::toQString(p); }
    QString rowText(int row, int role) const {
        return window->queueModel()->index(row).data(role).toString();
    }

    void dropOnZone(const QList<QUrl>& urls) {
        QMimeData mime;
        mime.setUrls(urls);
        DropZone* zone = window->dropZone();
        const QPoint centre = zone->rect().center();
        QDragEnterEvent enter(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(zone, &enter);
        EXPECT_TRUE(enter.isAccepted());
        EXPECT_TRUE(model->isDropTargeted());
        QDropEvent drop(QPointF(centre), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(zone, &drop);
        EXPECT_FALSE(model->isDropTargeted());
    }
};

TEST_F(WindowQueueTest, EmptyQueueShowsTheLargeDropZoneAndDisabledButtons) {
    showWindow();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Morvale Express"));
    EXPECT_EQ(window->minimumSize(), QSize(860, 600));
    EXPECT_EQ(window->dropZone()->height(), DropZone::kEmptyHeight);
    EXPECT_EQ(window->countLabel()->text(), QStringLiteral("0 textures"));
    EXPECT_FALSE(window->runButton()->isEnabled());
    EXPECT_FALSE(window->clearButton()->isEnabled());
    EXPECT_TRUE(window->emptyLabel()->isVisible());
    EXPECT_EQ(window->runButton()->text(), QStringLiteral("Process All"));
    EXPECT_FALSE(window->cancelButton()->isVisible());
    EXPECT_EQ(window->optionsSidebar()->width(), 340);
}

TEST(WindowCountText, NounTakesAnSExceptForOne) {
    EXPECT_EQ(StandaloneWindow::countText(0, "texture"), QStringLiteral("0 textures"));
    EXPECT_EQ(StandaloneWindow::countText(1, "texture"), QStringLiteral("1 texture"));
    EXPECT_EQ(StandaloneWindow::countText(12, "texture"), QStringLiteral("12 textures"));
}

TEST_F(WindowQueueTest, DroppedFilesAndFoldersAreQueuedOnceEach) {
    showWindow();
    const auto a = dir.write("drop/a.png", "x");
    const auto b = dir.write("drop/B.TGA", "x");
    dir.write("drop/notes.txt", "x");
    dir.write("drop/sub/c.png", "x");
    dir.write("drop/sub/.hidden.png", "x");

    dropOnZone({QUrl::fromLocalFile(toQString(a)), QUrl::fromLocalFile(toQString(b)),
                QUrl(QStringLiteral("https://example.com/x.png"))});
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->queueItems().size() == 2 && !model->isIngesting(); }, test::hangGuardMilliseconds));
    EXPECT_EQ(window->queueModel()->rowCount(), 2);
    // A capitalised extension is listed lower-cased.
    QStringList names{rowText(0, QueueListModel::FileNameRole), rowText(1, QueueListModel::FileNameRole)};
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("B.tga"), QStringLiteral("a.png")}));
    EXPECT_EQ(window->countLabel()->text(), QStringLiteral("2 textures"));
    EXPECT_EQ(window->dropZone()->height(), DropZone::kCompactHeight);
    EXPECT_FALSE(window->emptyLabel()->isVisible());
    EXPECT_TRUE(window->runButton()->isEnabled());

    // The folder brings its one new supported file; the two already queued aren't repeated.
    dropOnZone({QUrl::fromLocalFile(toQString(dir / "drop"))});
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->queueItems().size() == 3 && !model->isIngesting(); }, test::hangGuardMilliseconds));
    QTest::qWait(50);
    EXPECT_EQ(model->queueItems().size(), 3u);
    EXPECT_EQ(rowText(2, QueueListModel::FileNameRole), QStringLiteral("c.png"));
}

TEST_F(WindowQueueTest, AddFilesMenuQueuesTheChosenFiles) {
    showWindow();
    chosenFiles = {dir.write("pick/one.png", "x"), dir.write("pick/two.jpg", "x")};
    EXPECT_EQ(scenes->addFilesAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    scenes->addFilesAction()->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->isIngesting() && model->queueItems().size() == 1; }, test::hangGuardMilliseconds));
    EXPECT_EQ(rowText(0, QueueListModel::FileNameRole), QStringLiteral("one.png"));
}

TEST_F(WindowQueueTest, RowsFollowStatusProgressAndMessages) {
    showWindow();
    queue({"bad.png", "good.png", "skip.png"});  // queued in path order
    model->start();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return rowText(0, QueueListModel::StatusTextRole) == QStringLiteral("Processing") &&
                   window->queueModel()->index(0).data(QueueListModel::ProgressRole).isValid();
        },
        test::hangGuardMilliseconds));
    // While running: the header shows the overall bar and Cancel; rows show their own bars.
    EXPECT_TRUE(window->overallBar()->isVisible());
    EXPECT_TRUE(window->cancelButton()->isVisible());
    EXPECT_FALSE(window->runButton()->isVisible());
    EXPECT_FALSE(window->clearButton()->isVisible());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window->queueModel()->index(0).data(QueueListModel::ProgressRole).toDouble() >= 0.5; }, test::hangGuardMilliseconds));
    EXPECT_GT(window->overallBar()->value(), 0);
    // "Remove from Queue" is disabled during a run.
    std::unique_ptr<QMenu> menu(window->rowMenu(0));
    ASSERT_TRUE(menu);
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_FALSE(menu->actions()[1]->isEnabled());

    ASSERT_TRUE(finishRun());
    ASSERT_EQ(rowText(0, QueueListModel::FileNameRole), QStringLiteral("bad.png"));
    EXPECT_EQ(rowText(0, QueueListModel::StatusTextRole), QStringLiteral("Failed"));
    EXPECT_EQ(rowText(1, QueueListModel::StatusTextRole), QStringLiteral("Completed"));
    EXPECT_EQ(rowText(2, QueueListModel::StatusTextRole), QStringLiteral("Skipped"));
    EXPECT_FALSE(window->queueModel()->index(1).data(QueueListModel::ProgressRole).isValid());
    EXPECT_FALSE(window->queueModel()->index(1).data(QueueListModel::MessageRole).isValid());
    EXPECT_EQ(rowText(0, QueueListModel::MessageRole), QStringLiteral("broken file"));
    EXPECT_EQ(QueueListModel::messageTone(ProcessingStatus::failed), QueueListModel::Tone::red);
    EXPECT_EQ(rowText(2, QueueListModel::MessageRole), QStringLiteral("skip is not an input"));
    EXPECT_EQ(QueueListModel::messageTone(ProcessingStatus::skipped), QueueListModel::Tone::secondary);
    EXPECT_EQ(QueueListModel::statusTone(ProcessingStatus::completed), QueueListModel::Tone::green);

    // After the run: the failed item is runnable again and finished items can be cleared.
    EXPECT_TRUE(window->runButton()->isVisible());
    EXPECT_TRUE(window->runButton()->isEnabled());
    EXPECT_TRUE(window->clearButton()->isEnabled());
    window->clearButton()->click();
    ASSERT_EQ(model->queueItems().size(), 1u);
    EXPECT_EQ(window->queueModel()->rowCount(), 1);
    EXPECT_EQ(rowText(0, QueueListModel::FileNameRole), QStringLiteral("bad.png"));
    EXPECT_FALSE(window->clearButton()->isEnabled());  // only a failed item is left
}

TEST(QueueRowRules, MessageLineOnlyForProcessingFailedAndSkipped) {
    for (const ProcessingStatus status : allProcessingStatuses) {
        const bool expected = status == ProcessingStatus::processing || status == ProcessingStatus::failed ||
                              status == ProcessingStatus::skipped;
        EXPECT_EQ(QueueListModel::showsMessage(status), expected) << rawValue(status);
        EXPECT_EQ(QueueListModel::showsProgress(status), status == ProcessingStatus::processing);
    }
}

TEST_F(WindowQueueTest, RemoveFromQueueActsOnTheSelectionOnlyWhenTheRowIsSelected) {
    showWindow();
    queue({"r0.png", "r1.png", "r2.png", "r3.png"});
    const Uuid id0 = model->queueItems()[0].id;
    const Uuid id1 = model->queueItems()[1].id;
    window->queueList()->selectionModel()->select(window->queueModel()->index(0), QItemSelectionModel::Select);
    window->queueList()->selectionModel()->select(window->queueModel()->index(1), QItemSelectionModel::Select);
    EXPECT_EQ(model->selection(), (std::set<Uuid>{id0, id1}));

    // Right-click on an unselected row: only that row goes.
    std::unique_ptr<QMenu> menu(window->rowMenu(3));
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Show in File Manager"));
    menu->actions()[1]->trigger();
    ASSERT_EQ(model->queueItems().size(), 3u);
    EXPECT_EQ(model->selection().size(), 2u);

    // Right-click on a selected row: the whole selection goes.
    menu.reset(window->rowMenu(1));
    menu->actions()[1]->trigger();
    ASSERT_EQ(model->queueItems().size(), 1u);
    EXPECT_EQ(rowText(0, QueueListModel::FileNameRole), QStringLiteral("r2.png"));

    // Delete with the list focused removes the selection.
    window->queueList()->selectionModel()->select(window->queueModel()->index(0), QItemSelectionModel::Select);
    QTest::keyClick(window->queueList(), Qt::Key_Delete);
    EXPECT_TRUE(model->queueItems().empty());
    EXPECT_TRUE(window->emptyLabel()->isVisible());
}

TEST_F(WindowQueueTest, ShowInFileManagerRevealsTheSourceWhenNoOutputExists) {
    showWindow();
    queue({"show.png"});
    std::unique_ptr<QMenu> menu(window->rowMenu(0));
    menu->actions()[0]->trigger();
    ASSERT_EQ(revealed.size(), 1u);
    ASSERT_EQ(revealed[0].size(), 1u);
    EXPECT_EQ(revealed[0][0].filename(), std::filesystem::path("show.png"));
}

TEST_F(WindowQueueTest, OutputRowShowsTheFullPathAsTooltip) {
    const auto deep = dir / "a very long folder name that will not fit" / "and another long one" / "output";
    model->setOutputDirectory(deep);
    EXPECT_EQ(window->outputLabel()->toolTip(), toQString(deep));
}

// Every control that Tab reaches looks different while it holds the focus.
TEST_F(WindowQueueTest, EveryControlThatTakesTheFocusShowsIt) {
    showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    queue({"a.png", "b.png"});
    model->setShowLog(true);
    int checked = 0;
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (!control->isVisibleTo(window) || !control->isEnabled() || (control->focusPolicy() & Qt::TabFocus) == 0) {
            continue;
        }
        const std::string name =
            std::string(control->metaObject()->className()) + " " + control->objectName().toStdString();
        control->clearFocus();
        QCoreApplication::processEvents();
        const QImage without = control->grab().toImage();
        control->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
        EXPECT_TRUE(control->hasFocus()) << name;
        EXPECT_NE(control->grab().toImage(), without) << name << " shows no focus";
        ++checked;
    }
    EXPECT_GE(checked, 8);
}

}  // namespace
}  // namespace morvale::test
