// Ingest, run, cancel, remove and reveal through the view model, driven headless with
// a stand-in preset the test can hold mid-item.
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <stop_token>
#include <memory>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/cancellation.h"
#include "batch_core/batch_skip.h"
#include "batch_core/processing_context.h"
#include "batch_core/user_defaults.h"
#include "batch_ui/preset_slot.h"
#include "batch_ui/queue_list_model.h"
#include "batch_ui/standalone_view_model.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "window_test_app.h"

namespace morvale::test {
namespace {

// Shared between the test and every copy of the preset the queue works with.
struct Script {
    std::mutex mutex;
    std::condition_variable_any changed;
    bool held = false;                  // items wait in process() until released
    std::set<std::string> heldNames;    // these items wait until released by name
    std::vector<std::string> started;   // file names, in the order process() began
    std::vector<std::string> patterns;  // naming pattern each item ran with
    std::vector<int> levels;            // preset option each item ran with
    std::atomic<int> running{0};
    std::atomic<int> maxRunning{0};

    void hold() {
        std::lock_guard lock(mutex);
        held = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            held = false;
        }
        changed.notify_all();
    }
    void releaseName(const std::string& name) {
        {
            std::lock_guard lock(mutex);
            heldNames.erase(name);
        }
        changed.notify_all();
    }
    void releaseAllNames() {
        {
            std::lock_guard lock(mutex);
            heldNames.clear();
        }
        changed.notify_all();
    }
    std::size_t startedCount() {
        std::lock_guard lock(mutex);
        return started.size();
    }
};

// Takes .png and .tga. Names holding "fail" fail, "skip" are skipped, the rest write
// one output file; every item reports half-way progress first. A held item asked to stop
// ends as cancelled.
class ScriptedPreset final : public BatchPreset {
public:
    explicit ScriptedPreset(std::shared_ptr<Script> script) : script_(std::move(script)) {}
    int level = 1;

    std::string id() const override { return "test.scripted"; }
    std::string displayName() const override { return "Scripted"; }
    std::string verticalName() const override { return "Tests"; }
    std::string description() const override { return "Does what the test says."; }
    std::string systemIconName() const override { return "test"; }
    std::set<std::string> supportedExtensions() const override { return {"png", "tga"}; }
    std::string defaultNamingPattern() const override { return "{name}_scripted"; }

    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        const int now = ++script_->running;
        for (int seen = script_->maxRunning; now > seen && !script_->maxRunning.compare_exchange_weak(seen, now);) {
        }
        {
            std::unique_lock lock(script_->mutex);
            script_->started.push_back(item.originalFileName);
            script_->patterns.push_back(context.configuration.namingPattern);
            script_->levels.push_back(level);
        }
        context.onProgressUpdate(0.5, "Working...");
        {
            std::unique_lock lock(script_->mutex);
            const bool released = script_->changed.wait(lock, context.stopToken, [&] {
                return !script_->held && script_->heldNames.count(item.originalFileName) == 0;
            });
            if (!released) {
                --script_->running;
                throw OperationCancelled();
            }
        }
        --script_->running;
        if (item.originalFileName.find("fail") != std::string::npos) throw std::runtime_error("cannot read");
        if (item.originalFileName.find("skip") != std::string::npos) throw BatchSkip(item.originalFileName + " is no input");
        const auto output = context.configuration.outputDirectory / (item.originalFileName + "_out.png");
        std::filesystem::create_directories(output.parent_path());
        std::ofstream(output) << "x";
        return {output};
    }

private:
    std::shared_ptr<Script> script_;
};

class ViewModelRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureWidgetsApp();
        makeModel(2);
    }
    void TearDown() override {
        script->release();
        model.reset();
    }

    void makeModel(int concurrency) {
        if (model) {
            script->release();
            model.reset();
        }
        StandaloneServices services;
        services.defaults = std::make_shared<UserDefaults>(dir / "defaults.json");
        services.revealInFileManager = [this](const std::vector<std::filesystem::path>& paths) {
            revealed.push_back(paths);
        };
        services.maxConcurrentTasks = concurrency;
        ScriptedPreset preset(script);
        model = std::make_unique<StandaloneViewModel>(
            std::make_unique<TypedPresetSlot<ScriptedPreset>>(
                preset, [](const ScriptedPreset&) { return PresetSettings{}; },
                [](const PresetSettings&) { return std::optional<ScriptedPreset>(); }),
            LicensedProduct::morvale, services);
        model->setOutputDirectory(dir / "out");
    }

    std::filesystem::path file(const std::string& relative) { return dir.write("in/" + relative, "data"); }

    void ingestAndWait(const std::vector<std::filesystem::path>& paths) {
        QSignalSpy done(model.get(), &StandaloneViewModel::ingestFinished);
        model->ingest(paths);
        ASSERT_TRUE(QTest::qWaitFor([&] { return done.count() == 1; }, test::hangGuardMilliseconds));
    }

    std::vector<std::string> queuedNames() const {
        std::vector<std::string> names;
        for (const auto& item : model->queueItems()) names.push_back(item.originalFileName + "." + item.fileExtension);
        return names;
    }

    const BatchItem& itemNamed(const std::string& name) const {
        for (const auto& item : model->queueItems()) {
            if (item.originalFileName == name) return item;
        }
        throw std::logic_error(name + " is not queued");
    }
    ProcessingStatus statusOf(const std::string& name) const { return itemNamed(name).status; }

    int runsSeen() const {
        int count = 0;
        for (const auto& line : model->logLines()) count += line.rfind("Done in ", 0) == 0 ? 1 : 0;
        return count;
    }
    // Starts a run and waits for its summary line.
    void runToEnd() {
        QSignalSpy finished(model.get(), &StandaloneViewModel::runFinished);
        model->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, test::hangGuardMilliseconds));
    }

    TempDir dir;
    std::shared_ptr<Script> script = std::make_shared<Script>();
    std::unique_ptr<StandaloneViewModel> model;
    std::vector<std::vector<std::filesystem::path>> revealed;
};

TEST_F(ViewModelRunTest, IngestKeepsAllowedFilesOnceAgainstTheLastingQueue) {
    file("set/b.png");
    file("set/a.TGA");
    file("set/notes.txt");
    file("set/.hidden.png");
    const auto loose = file("loose.png");
    ingestAndWait({dir / "in/set", dir / "in/set/b.png", loose});
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"loose.png", "a.tga", "b.png"}));

    // Dropping again, and dropping a folder that holds a new file, adds only the new one.
    file("set/c.png");
    ingestAndWait({loose, dir / "in/set/../set"});
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"loose.png", "a.tga", "b.png", "c.png"}));
    for (const auto& item : model->queueItems()) EXPECT_EQ(item.status, ProcessingStatus::pending);
}

TEST_F(ViewModelRunTest, RemovingTheSelectionItselfRemovesEverySelectedItem) {
    ingestAndWait({file("a.png"), file("b.png"), file("c.png")});
    const auto& items = model->queueItems();
    model->setSelection({items[0].id, items[2].id});
    model->remove(model->selection());  // the set being edited is the argument
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"b.png"}));
    EXPECT_TRUE(model->selection().empty());
}

TEST_F(ViewModelRunTest, DropsAppliedInOrderWithoutRepeats) {
    const auto one = file("one.png");
    const auto two = file("two.png");
    QSignalSpy appended(model.get(), &StandaloneViewModel::itemsAppended);
    QSignalSpy done(model.get(), &StandaloneViewModel::ingestFinished);
    model->ingest({two});
    model->ingest({one, two});
    model->ingest({one});
    EXPECT_TRUE(model->isIngesting());
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.count() == 3; }, test::hangGuardMilliseconds));
    EXPECT_FALSE(model->isIngesting());
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"two.png", "one.png"}));
    EXPECT_EQ(appended.count(), 2) << "the drop that added nothing announces nothing";
}

// A drop of thousands of files reaches the queue in parts, so the window answers in between, yet
// whole, in path order, and before a drop made after it; each drop reports done once it is all in.
TEST_F(ViewModelRunTest, LargeDropArrivesInPartsButWholeAndInOrder) {
    std::vector<std::string> expected;
    for (int i = 0; i < 5000; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%05d.png", i);
        file(std::string("big/") + name);
        expected.emplace_back(name);
    }
    const auto later = file("later.png");
    expected.emplace_back("later.png");
    QSignalSpy appended(model.get(), &StandaloneViewModel::itemsAppended);
    std::vector<std::size_t> sizesWhenDone;
    QObject::connect(model.get(), &StandaloneViewModel::ingestFinished, model.get(),
                     [&] { sizesWhenDone.push_back(model->queueItems().size()); });
    model->ingest({dir / "in/big"});
    model->ingest({later});
    ASSERT_TRUE(QTest::qWaitFor([&] { return sizesWhenDone.size() == 2; }, test::hangGuardMilliseconds));
    EXPECT_EQ(queuedNames(), expected);
    EXPECT_EQ(sizesWhenDone, (std::vector<std::size_t>{5000, 5001}));
    EXPECT_GE(appended.count(), 3);
    EXPECT_EQ(model->runnableCount(), 5001);
}

TEST_F(ViewModelRunTest, RunReportsEveryOutcomeAndTheSummaryLine) {
    ingestAndWait({file("good.png"), file("fail_me.png"), file("skip_me.png")});
    EXPECT_EQ(model->runnableCount(), 3);
    runToEnd();

    EXPECT_EQ(model->runnableCount(), 1);
    EXPECT_EQ(statusOf("good"), ProcessingStatus::completed);
    EXPECT_EQ(statusOf("fail_me"), ProcessingStatus::failed);
    EXPECT_EQ(statusOf("skip_me"), ProcessingStatus::skipped);
    EXPECT_EQ(itemNamed("fail_me").errorMessage, "cannot read");
    EXPECT_EQ(itemNamed("skip_me").errorMessage, "skip_me is no input");
    EXPECT_EQ(itemNamed("good").errorMessage, std::nullopt);
    ASSERT_EQ(model->itemOutputs().count(itemNamed("good").id), 1u);
    EXPECT_EQ(model->itemOutputs().at(itemNamed("good").id),
              std::vector<std::filesystem::path>{dir / "out/good_out.png"});
    EXPECT_EQ(model->itemOutputs().size(), 1u);
    EXPECT_FALSE(model->isProcessing());
    EXPECT_DOUBLE_EQ(model->overallProgress(), 1.0);

    ASSERT_FALSE(model->logLines().empty());
    const std::string& summary = model->logLines().back();
    EXPECT_TRUE(std::regex_match(summary, std::regex(R"(Done in \d+\.\ds: 1 finished, 1 failed, 1 skipped\.)")))
        << summary;
    // The queue's own lines carry a time prefix; the summary does not.
    EXPECT_TRUE(std::regex_match(model->logLines().front(), std::regex(R"(\[\d\d:\d\d:\d\d\] Starting batch job \[.*)")))
        << model->logLines().front();
}

// Items that end at once report faster than the GUI thread applies them: the run still ends only
// once every item shows its outcome.
TEST_F(ViewModelRunTest, ALargeRunEndsAfterEveryStatusIsIn) {
    makeModel(4);
    std::vector<std::filesystem::path> paths;
    for (int i = 0; i < 3000; ++i) paths.push_back(file("many/f" + std::to_string(i) + ".png"));
    ingestAndWait({dir / "in/many"});
    std::size_t completedAtEnd = 0;
    QObject::connect(model.get(), &StandaloneViewModel::runFinished, model.get(), [&] {
        completedAtEnd = static_cast<std::size_t>(std::count_if(
            model->queueItems().begin(), model->queueItems().end(),
            [](const BatchItem& item) { return item.status == ProcessingStatus::completed; }));
    });
    QSignalSpy finished(model.get(), &StandaloneViewModel::runFinished);
    model->start();
    // The GUI thread takes nothing while every item ends, so that their statuses wait together.
    ASSERT_TRUE(QTest::qWaitFor([&] { return script->startedCount() > 0; }, 10000));
    while (script->startedCount() < paths.size() || script->running > 0) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 10000));
    EXPECT_EQ(completedAtEnd, paths.size());
    EXPECT_EQ(model->runnableCount(), 0);
    EXPECT_DOUBLE_EQ(model->overallProgress(), 1.0);
}

TEST_F(ViewModelRunTest, OnlyPendingAndFailedItemsRunAgain) {
    ingestAndWait({file("good.png"), file("fail_me.png"), file("skip_me.png")});
    runToEnd();
    EXPECT_EQ(model->runnableCount(), 1);

    runToEnd();  // the failed item alone, reset first
    EXPECT_EQ(script->startedCount(), 4u);
    EXPECT_EQ(script->started.back(), "fail_me");
    EXPECT_EQ(runsSeen(), 2);
    EXPECT_TRUE(std::regex_match(model->logLines().back(),
                                 std::regex(R"(Done in \d+\.\ds: 0 finished, 1 failed, 0 skipped\.)")));

    // Nothing runnable after clearing: start does nothing and logs nothing.
    model->remove({itemNamed("fail_me").id});
    EXPECT_EQ(model->runnableCount(), 0);
    const auto lines = model->logLines().size();
    model->start();
    EXPECT_FALSE(model->isProcessing());
    QTest::qWait(50);
    EXPECT_EQ(model->logLines().size(), lines);
}

TEST_F(ViewModelRunTest, EmptyPatternRunsWithThePresetDefaultAndStaysEmpty) {
    model->setNamingPattern("");
    ingestAndWait({file("a.png")});
    runToEnd();
    ASSERT_EQ(script->patterns.size(), 1u);
    EXPECT_EQ(script->patterns[0], "{name}_scripted");
    EXPECT_EQ(model->namingPattern(), "");

    model->setNamingPattern(" ");
    ingestAndWait({file("b.png")});
    runToEnd();
    EXPECT_EQ(script->patterns.back(), " ") << "a pattern of blanks is not empty";
}

TEST_F(ViewModelRunTest, DuringARunStartAndRemoveAreRefusedOtherOperationsWork) {
    ingestAndWait({file("done.png")});
    runToEnd();
    ingestAndWait({file("a.png"), file("b.png")});
    script->hold();
    model->start();
    ASSERT_TRUE(model->isProcessing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return script->startedCount() == 3; }, test::hangGuardMilliseconds));

    // A second start is refused: no second job over the same items.
    model->start();
    const std::set<Uuid> chosen{model->queueItems()[1].id};
    model->setSelection(chosen);
    model->remove(chosen);
    EXPECT_EQ(model->queueItems().size(), 3u);
    EXPECT_EQ(model->selection(), chosen);

    // Adding files, clearing finished items and editing options still work.
    ingestAndWait({file("late.png")});
    EXPECT_EQ(model->queueItems().back().status, ProcessingStatus::pending);
    model->clearFinished();
    EXPECT_EQ(queuedNames(), (std::vector<std::string>{"a.png", "b.png", "late.png"}));
    model->editPreset<ScriptedPreset>([](ScriptedPreset& p) { p.level = 99; });

    QSignalSpy finished(model.get(), &StandaloneViewModel::runFinished);
    script->release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, test::hangGuardMilliseconds));
    EXPECT_EQ(script->startedCount(), 3u) << "the refused start must not have run anything";
    EXPECT_EQ(script->levels, (std::vector<int>{1, 1, 1})) << "the run keeps the preset it started with";
    EXPECT_EQ(statusOf("late"), ProcessingStatus::pending);
}

TEST_F(ViewModelRunTest, CancelLeavesUnstartedItemsPendingAndBlocksRestartUntilTheRunDrains) {
    makeModel(1);
    ingestAndWait({file("a.png"), file("b.png"), file("c.png")});
    script->hold();
    model->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return script->startedCount() == 1; }, test::hangGuardMilliseconds));

    model->cancel();
    EXPECT_FALSE(model->isProcessing());
    // The first run is still finishing "a": a new start must wait for it.
    EXPECT_FALSE(model->canStart());
    model->start();
    EXPECT_FALSE(model->isProcessing());

    QSignalSpy finished(model.get(), &StandaloneViewModel::runFinished);
    script->release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, test::hangGuardMilliseconds));
    EXPECT_EQ(script->startedCount(), 1u);
    EXPECT_EQ(statusOf("a"), ProcessingStatus::completed);
    EXPECT_EQ(statusOf("b"), ProcessingStatus::pending);
    EXPECT_EQ(statusOf("c"), ProcessingStatus::pending);
    EXPECT_TRUE(std::regex_match(model->logLines().back(),
                                 std::regex(R"(Done in \d+\.\ds: 1 finished, 0 failed, 0 skipped\.)")));
    bool sawCancelLine = false;
    for (const auto& line : model->logLines()) sawCancelLine |= line.find("] Cancellation requested.") != std::string::npos;
    EXPECT_TRUE(sawCancelLine);

    // Now the remaining items run, each once.
    EXPECT_TRUE(model->canStart());
    runToEnd();
    EXPECT_EQ(script->started, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(ViewModelRunTest, CancelRightAfterStartStopsTheWholeRun) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ingestAndWait({file("r" + std::to_string(round) + ".png")});
        QSignalSpy finished(model.get(), &StandaloneViewModel::runFinished);
        model->start();
        model->cancel();
        ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, test::hangGuardMilliseconds));
        EXPECT_EQ(script->startedCount(), 0u);
        EXPECT_TRUE(std::regex_match(model->logLines().back(),
                                     std::regex(R"(Done in \d+\.\ds: 0 finished, 0 failed, 0 skipped\.)")));
    }
    int cancelLines = 0;
    for (const auto& line : model->logLines()) cancelLines += line.find("Cancellation requested.") != std::string::npos;
    EXPECT_EQ(cancelLines, 20) << "one line per cancel";
    for (const auto& item : model->queueItems()) EXPECT_EQ(item.status, ProcessingStatus::pending);
}

TEST_F(ViewModelRunTest, CancelWithNothingRunningStillAsksTheQueue) {
    QSignalSpy lines(model.get(), &StandaloneViewModel::logLineAppended);
    model->cancel();
    EXPECT_FALSE(model->isProcessing());
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines.count() == 1; }, test::hangGuardMilliseconds));
    EXPECT_NE(model->logLines().back().find("Cancellation requested."), std::string::npos);
}

TEST_F(ViewModelRunTest, OverallProgressCountsOnlyTheCurrentRunsStartedItems) {
    makeModel(1);
    ingestAndWait({file("first.png")});
    runToEnd();
    EXPECT_DOUBLE_EQ(model->overallProgress(), 1.0);

    ingestAndWait({file("a.png"), file("b.png"), file("c.png")});
    {
        std::lock_guard lock(script->mutex);
        script->heldNames = {"a", "b"};
    }
    QSignalSpy progress(model.get(), &StandaloneViewModel::overallProgressChanged);
    model->start();
    ASSERT_GE(progress.count(), 1);
    EXPECT_DOUBLE_EQ(progress.first().at(0).toDouble(), 0.0) << "a run starts from zero";

    // One item half-way, two untouched: the untouched ones don't pull it down and the
    // earlier run's finished item doesn't push it up.
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->overallProgress() == 0.5; }, test::hangGuardMilliseconds));

    // One completed, one half-way, one untouched.
    script->releaseName("a");
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->overallProgress() == 0.75; }, test::hangGuardMilliseconds)) << model->overallProgress();

    QSignalSpy finished(model.get(), &StandaloneViewModel::runFinished);
    script->releaseName("b");
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, test::hangGuardMilliseconds));
    EXPECT_DOUBLE_EQ(model->overallProgress(), 1.0);
}

TEST_F(ViewModelRunTest, QuittingDuringARunStopsRunningItemsAndStartsNoMore) {
    makeModel(1);
    ingestAndWait({file("a.png"), file("b.png")});
    script->hold();
    model->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return script->startedCount() == 1; }, test::hangGuardMilliseconds));
    // Only a quit that fails to stop the item waits for this.
    std::atomic<bool> releasedByHand = false;
    std::jthread releaser([s = script, &releasedByHand](std::stop_token quitTest) {
        std::mutex mutex;
        std::condition_variable_any never;
        std::unique_lock lock(mutex);
        if (!never.wait_for(lock, quitTest, test::hangGuard, [] { return false; }) &&
            !quitTest.stop_requested()) {
            releasedByHand = true;
            s->release();
        }
    });
    model->shutdown();
    EXPECT_FALSE(releasedByHand.load()) << "shutdown waited for the item instead of stopping it";
    EXPECT_EQ(script->running.load(), 0) << "shutdown returned while an item was still in the preset";
    EXPECT_EQ(script->startedCount(), 1u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return statusOf("a") == ProcessingStatus::cancelled; }, test::hangGuardMilliseconds));
    EXPECT_EQ(statusOf("b"), ProcessingStatus::pending);
    model->start();
    EXPECT_FALSE(model->isProcessing());
}

// A cancel at any point of a run of 20 items, two at a time: in the same turn as the start,
// or once k items have finished (the two running then are items k and k + 1). The running
// items finish, no other item starts, and the rest stay pending.
TEST_F(ViewModelRunTest, CancelAtAnyPointFinishesRunningItemsAndLeavesTheRestPending) {
    constexpr int items = 20;
    for (int point = -1; point <= items - 2; ++point) {
        SCOPED_TRACE(point);
        makeModel(2);
        std::vector<std::filesystem::path> files;
        std::set<std::string> names;
        for (int i = 0; i < items; ++i) {
            const std::string name = "p" + std::to_string(point + 1) + "_" + (i < 10 ? "0" : "") + std::to_string(i);
            files.push_back(file(name + ".png"));
            names.insert(name);
        }
        ingestAndWait(files);
        {
            std::lock_guard lock(script->mutex);
            script->started.clear();
            script->heldNames = names;
        }
        QSignalSpy finished(model.get(), &StandaloneViewModel::runFinished);
        model->start();
        if (point >= 0) {
            for (int k = 0; k < point; ++k) {
                script->releaseName(model->queueItems()[static_cast<std::size_t>(k)].originalFileName);
                ASSERT_TRUE(QTest::qWaitFor(
                    [&] { return model->queueItems()[static_cast<std::size_t>(k)].status == ProcessingStatus::completed; },
                    test::hangGuardMilliseconds));
            }
            ASSERT_TRUE(QTest::qWaitFor([&] { return script->startedCount() == static_cast<std::size_t>(point + 2); }, test::hangGuardMilliseconds));
        }
        model->cancel();
        script->releaseAllNames();
        ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, test::hangGuardMilliseconds));
        const int ran = point < 0 ? 0 : point + 2;
        EXPECT_EQ(script->startedCount(), static_cast<std::size_t>(ran));
        for (int i = 0; i < items; ++i) {
            EXPECT_EQ(model->queueItems()[static_cast<std::size_t>(i)].status,
                      i < ran ? ProcessingStatus::completed : ProcessingStatus::pending)
                << i;
        }
        EXPECT_TRUE(std::regex_match(model->logLines().back(),
                                     std::regex(R"(Done in \d+\.\ds: )" + std::to_string(ran) +
                                                R"( finished, 0 failed, 0 skipped\.)")))
            << model->logLines().back();
    }
}

TEST_F(ViewModelRunTest, StatusOfAnItemRemovedWhileDrainingIsIgnored) {
    makeModel(1);
    ingestAndWait({file("a.png"), file("b.png")});
    script->hold();
    model->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return script->startedCount() == 1; }, test::hangGuardMilliseconds));
    model->cancel();
    model->remove({model->queueItems()[0].id});
    EXPECT_EQ(queuedNames(), std::vector<std::string>{"b.png"});
    QSignalSpy finished(model.get(), &StandaloneViewModel::runFinished);
    script->release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, test::hangGuardMilliseconds));
    EXPECT_EQ(queuedNames(), std::vector<std::string>{"b.png"});
    EXPECT_EQ(statusOf("b"), ProcessingStatus::pending);
}

TEST_F(ViewModelRunTest, RevealPrefersOutputsThatStillExist) {
    ingestAndWait({file("a.png")});
    runToEnd();
    const BatchItem item = model->queueItems()[0];
    model->reveal(item);
    ASSERT_EQ(revealed.size(), 1u);
    EXPECT_EQ(revealed[0], std::vector<std::filesystem::path>{dir / "out/a_out.png"});

    std::filesystem::remove(dir / "out/a_out.png");
    model->reveal(item);
    EXPECT_EQ(revealed[1], std::vector<std::filesystem::path>{item.sourceURL});

    model->setOutputDirectory(dir / "not/yet/there");
    model->revealOutput();
    EXPECT_TRUE(std::filesystem::is_directory(dir / "not/yet/there"));
    EXPECT_EQ(revealed[2], std::vector<std::filesystem::path>{dir / "not/yet/there"});
}

// The queue keeps an index beside its items (row by id, queued paths, counts, the run each row
// belongs to), and the list follows removals run by run. Sequences of edits, checked after every
// step against a plain list of names and statuses.
TEST_F(ViewModelRunTest, QueueIndexAndListFollowEveryEdit) {
    enum class Op { ingest, run, clear, remove, removeSelection };
    struct Step {
        Op op;
        std::vector<int> which;  // file numbers to ingest or remove, or queue rows to select
    };
    const auto range = [](int from, int to) {
        std::vector<int> numbers;
        for (int n = from; n < to; ++n) numbers.push_back(n);
        return numbers;
    };
    const std::vector<std::vector<Step>> cases = {
        // Small removals in a few runs, then clearing most of a finished queue (more runs than are
        // told one by one), files coming back, and the selection itself removed as one block.
        {{Op::ingest, range(0, 80)},
         {Op::remove, {3, 4, 5, 20}},
         {Op::run, {}},
         {Op::clear, {}},
         {Op::ingest, range(0, 40)},
         {Op::removeSelection, range(0, 30)},
         {Op::run, {}},
         {Op::remove, {21, 22}}},
        // Every other item removed (half the queue, many runs), a run, a drop during the rest,
        // removing most of the queue at once, and clearing what is left.
        {{Op::ingest, range(0, 24)},
         {Op::remove, {0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22}},
         {Op::run, {}},
         {Op::ingest, range(20, 30)},
         {Op::remove, range(0, 27)},
         {Op::run, {}},
         {Op::clear, {}},
         {Op::ingest, {1, 2}}},
    };
    const auto nameOf = [](int n) {
        static const char* const kinds[] = {"ok", "fail", "skip", "ok"};
        char name[32];
        std::snprintf(name, sizeof name, "%02d_%s", n, kinds[n % 4]);
        return std::string(name);
    };
    for (std::size_t number = 0; number < cases.size(); ++number) {
        SCOPED_TRACE("case " + std::to_string(number));
        makeModel(2);
        QueueListModel rows(*model);
        struct Expected {
            std::string name;
            ProcessingStatus status;
        };
        std::vector<Expected> expected;
        for (std::size_t at = 0; at < cases[number].size(); ++at) {
            SCOPED_TRACE("step " + std::to_string(at));
            const Step& step = cases[number][at];
            switch (step.op) {
                case Op::ingest: {
                    std::vector<std::filesystem::path> paths;
                    for (const int n : step.which) paths.push_back(file(nameOf(n) + ".png"));
                    ingestAndWait(paths);
                    for (const int n : step.which) {
                        const bool queued = std::any_of(expected.begin(), expected.end(),
                                                        [&](const Expected& e) { return e.name == nameOf(n); });
                        if (!queued) expected.push_back({nameOf(n), ProcessingStatus::pending});
                    }
                    break;
                }
                case Op::run:
                    runToEnd();
                    for (auto& e : expected) {
                        if (e.status != ProcessingStatus::pending && e.status != ProcessingStatus::failed) continue;
                        e.status = e.name.find("fail") != std::string::npos   ? ProcessingStatus::failed
                                   : e.name.find("skip") != std::string::npos ? ProcessingStatus::skipped
                                                                              : ProcessingStatus::completed;
                    }
                    break;
                case Op::clear:
                    model->clearFinished();
                    std::erase_if(expected, [](const Expected& e) {
                        return e.status == ProcessingStatus::completed || e.status == ProcessingStatus::skipped;
                    });
                    break;
                case Op::remove: {
                    std::set<Uuid> ids;
                    std::set<std::string> names;
                    for (const int n : step.which) {
                        const auto found = std::find_if(expected.begin(), expected.end(),
                                                        [&](const Expected& e) { return e.name == nameOf(n); });
                        if (found == expected.end()) continue;
                        ids.insert(itemNamed(found->name).id);
                        names.insert(found->name);
                    }
                    model->setSelection({model->queueItems().back().id});
                    const bool lastGoes = ids.count(model->queueItems().back().id) != 0;
                    model->remove(ids);
                    std::erase_if(expected, [&](const Expected& e) { return names.count(e.name) != 0; });
                    EXPECT_EQ(model->selection().size(), lastGoes ? 0U : 1U);
                    break;
                }
                case Op::removeSelection: {
                    std::set<Uuid> chosen;
                    for (const int row : step.which) chosen.insert(model->queueItems()[static_cast<std::size_t>(row)].id);
                    model->setSelection(chosen);
                    model->remove(model->selection());
                    expected.erase(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(step.which.size()));
                    EXPECT_TRUE(model->selection().empty());
                    break;
                }
            }
            ASSERT_EQ(model->queueItems().size(), expected.size());
            ASSERT_EQ(rows.rowCount(), static_cast<int>(expected.size()));
            int runnable = 0;
            bool finished = false;
            for (std::size_t row = 0; row < expected.size(); ++row) {
                const BatchItem& item = model->queueItems()[row];
                EXPECT_EQ(item.originalFileName, expected[row].name) << "row " << row;
                EXPECT_EQ(item.status, expected[row].status) << expected[row].name;
                EXPECT_EQ(model->rowOf(item.id), static_cast<int>(row)) << expected[row].name;
                const BatchItem* shown = rows.itemAt(static_cast<int>(row));
                EXPECT_TRUE(shown != nullptr && shown->id == item.id) << "list row " << row;
                runnable += item.status == ProcessingStatus::pending || item.status == ProcessingStatus::failed;
                finished |= item.status == ProcessingStatus::completed || item.status == ProcessingStatus::skipped;
            }
            EXPECT_EQ(model->runnableCount(), runnable);
            EXPECT_EQ(model->hasFinishedItems(), finished);
            if (step.op == Op::run) {
                EXPECT_DOUBLE_EQ(model->overallProgress(), 1.0);
            }
        }
        // The queued paths went with their items: dropping every file again adds exactly the missing.
        std::vector<std::filesystem::path> all;
        for (int n = 0; n < 80; ++n) all.push_back(file(nameOf(n) + ".png"));
        const std::size_t before = model->queueItems().size();
        ingestAndWait(all);
        EXPECT_EQ(model->queueItems().size(), 80U);
        for (std::size_t row = before; row < model->queueItems().size(); ++row) {
            EXPECT_EQ(model->rowOf(model->queueItems()[row].id), static_cast<int>(row));
        }
    }
}

}  // namespace
}  // namespace morvale::test
