#include "window_test_fixture.h"

#include "batch_ui/queue_list_model.h"
#include "support/wait_until.h"

#include <QAction>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextBlock>

namespace morvale::test {
namespace {

class WindowMenuTest : public WindowFixture {};

QStringList texts(const QList<QAction*>& actions) {
    QStringList result;
    for (QAction* action : actions) {
        result << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return result;
}

TEST_F(WindowMenuTest, BatchMenuHoldsItsCommandsInOrderWithShortcuts) {
    EXPECT_EQ(texts(scenes->batchMenu()->actions()),
              (QStringList{"Process All", "Cancel", "-", "Clear Finished", "Show Output Folder", "-",
                           "Reset All Settings"}));
    EXPECT_EQ(scenes->cancelAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Period));
    EXPECT_EQ(scenes->showOutputAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    EXPECT_TRUE(scenes->runAction()->shortcut().isEmpty());
    EXPECT_EQ(window->runButton()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    // Empty queue: nothing to run, nothing to cancel; Clear Finished is always available here.
    EXPECT_FALSE(scenes->runAction()->isEnabled());
    EXPECT_FALSE(scenes->cancelAction()->isEnabled());
    EXPECT_TRUE(scenes->clearFinishedAction()->isEnabled());
    EXPECT_TRUE(scenes->showOutputAction()->isEnabled());

    scenes->resetAction()->trigger();
    EXPECT_EQ(resets, 1);
    scenes->showOutputAction()->trigger();
    ASSERT_EQ(revealed.size(), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(outputDir));  // created before it is shown
}

TEST_F(WindowMenuTest, RunAndCancelFromTheBatchMenu) {
    queue({"m1.png", "m2.png", "m3.png", "m4.png"});
    EXPECT_TRUE(scenes->runAction()->isEnabled());
    scenes->runAction()->trigger();
    EXPECT_TRUE(model->isProcessing());
    EXPECT_FALSE(scenes->runAction()->isEnabled());
    EXPECT_TRUE(scenes->cancelAction()->isEnabled());

    ASSERT_TRUE(QTest::qWaitFor([&] {
        int running = 0;
        for (const BatchItem& item : model->queueItems()) {
            running += item.status == ProcessingStatus::processing;
        }
        return running == 2;
    }, test::hangGuardMilliseconds));
    scenes->cancelAction()->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->isProcessing(); }, test::hangGuardMilliseconds));
    EXPECT_FALSE(scenes->cancelAction()->isEnabled());
    ASSERT_TRUE(finishRun());
    // Two ran (the concurrency), the others were never started and wait again.
    int completed = 0;
    int pending = 0;
    for (const BatchItem& item : model->queueItems()) {
        completed += item.status == ProcessingStatus::completed;
        pending += item.status == ProcessingStatus::pending;
    }
    EXPECT_EQ(completed, 2);
    EXPECT_EQ(pending, 2);
    EXPECT_TRUE(scenes->runAction()->isEnabled());
}

TEST_F(WindowMenuTest, RunAndCancelByKeyboardShortcuts) {
    showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    queue({"k1.png", "k2.png", "k3.png"});
    // Keys go through the window system, as a person's would, so shortcuts are resolved.
    ASSERT_TRUE(window->runButton()->isEnabled());
    QTest::keyClick(window->windowHandle(), Qt::Key_R, Qt::ControlModifier);
    // A button's shortcut clicks it with a short press animation.
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->isProcessing(); }, test::hangGuardMilliseconds));
    // Control-R belongs to the run button, which is hidden during a run: a second press does nothing.
    QTest::keyClick(window->windowHandle(), Qt::Key_R, Qt::ControlModifier);
    QTest::keyClick(window->windowHandle(), Qt::Key_Period, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->isProcessing(); }, test::hangGuardMilliseconds));
    ASSERT_TRUE(finishRun());
    int cancelledLines = 0;
    int summaries = 0;
    for (const std::string& line : model->logLines()) {
        cancelledLines += line.find("Cancellation requested.") != std::string::npos;
        summaries += line.rfind("Done in ", 0) == 0;
    }
    EXPECT_EQ(cancelledLines, 1);
    EXPECT_EQ(summaries, 1);
}

TEST_F(WindowMenuTest, TrayStatusLineAndCommands) {
    EXPECT_EQ(texts(scenes->trayMenu()->actions()),
              (QStringList{"Morvale Express: 0 waiting", "-", "Open Morvale Express", "Process All",
                           "Show Output Folder", "-", "Quit"}));
    EXPECT_FALSE(scenes->trayStatusAction()->isEnabled());
    EXPECT_FALSE(scenes->trayRunAction()->isEnabled());
    queue({"t1.png", "t2.png"});
    EXPECT_EQ(scenes->trayStatusAction()->text(), QStringLiteral("Morvale Express: 2 waiting"));
    EXPECT_TRUE(scenes->trayRunAction()->isEnabled());
    scenes->trayRunAction()->trigger();
    EXPECT_TRUE(model->isProcessing());
    EXPECT_FALSE(scenes->trayRunAction()->isEnabled());
    EXPECT_TRUE(scenes->trayStatusAction()->text().endsWith(QLatin1Char('%')));
    ASSERT_TRUE(finishRun());
    EXPECT_EQ(scenes->trayStatusAction()->text(), QStringLiteral("Morvale Express: 0 waiting"));
}

TEST(TrayStatusLine, PercentTruncatesAndWaitingCountsRunnable) {
    struct Case {
        bool processing;
        double progress;
        long long runnable;
        const char* expected;
    };
    const Case cases[] = {
        {true, 0.427, 0, "Title: 42%"},   {true, 0.999, 5, "Title: 99%"}, {true, 1.0, 0, "Title: 100%"},
        {true, 0.0, 0, "Title: 0%"},      {false, 0.5, 3, "Title: 3 waiting"},
        {false, 0.0, 0, "Title: 0 waiting"},
        {true, std::numeric_limits<double>::quiet_NaN(), 0, "Title: 0%"},
        {true, -0.5, 0, "Title: 0%"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StandaloneScenes::statusLine("Title", c.processing, c.progress, c.runnable),
                  QString::fromLatin1(c.expected));
    }
}

TEST_F(WindowMenuTest, LogPaneKeepsTheLast500Lines) {
    showWindow();
    EXPECT_FALSE(window->logPane()->isVisible());
    EXPECT_EQ(window->logToggle()->text(), QStringLiteral("Show Log"));
    window->logToggle()->click();
    EXPECT_TRUE(window->logPane()->isVisible());
    EXPECT_EQ(window->logToggle()->text(), QStringLiteral("Hide Log"));
    EXPECT_EQ(window->logPane()->height(), 120);
    for (int i = 1; i <= 600; ++i) {
        model->log("line " + std::to_string(i));
    }
    EXPECT_EQ(model->logLines().size(), 500u);
    EXPECT_EQ(model->logLines().front(), "line 101");
    QPlainTextEdit* pane = window->logPane();
    EXPECT_TRUE(QTest::qWaitFor([&] { return pane->document()->lastBlock().text() == QStringLiteral("line 600"); }));
    EXPECT_EQ(pane->document()->blockCount(), 500);
    EXPECT_EQ(pane->document()->firstBlock().text(), QStringLiteral("line 101"));
    EXPECT_EQ(pane->document()->lastBlock().text(), QStringLiteral("line 600"));
    window->logToggle()->click();
    EXPECT_FALSE(window->logPane()->isVisible());
}

}  // namespace
}  // namespace morvale::test
