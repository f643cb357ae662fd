#include "batch_core/batch_queue_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <set>
#include <stop_token>
#include <limits>
#include <new>
#include <regex>
#include <thread>
#include <iostream>

#include <unistd.h>

#include "base/atomic_file_writer.h"
#include "base/cancellation.h"
#include "batch_core/batch_skip.h"
#include "batch_core/platform.h"
#include "fake_preset.h"
#include "support/owner_process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace morvale {
namespace {

using test::FakePreset;
using test::Recorder;
using Paths = std::vector<std::filesystem::path>;

// A condition the test waits for, with a generous bound so that a fault fails the test instead
// of hanging it.
class Signal {
public:
    void set(int value = 1) {
        {
            std::lock_guard lock(mutex_);
            value_ = value;
        }
        changed_.notify_all();
    }
    void add(int delta) {
        {
            std::lock_guard lock(mutex_);
            value_ += delta;
        }
        changed_.notify_all();
    }
    bool waitFor(int atLeast) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, test::hangGuard, [&] { return value_ >= atLeast; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int value_ = 0;
};

std::vector<BatchItem> makeItems(std::size_t count, const std::filesystem::path& folder = "/nonexistent-morvale") {
    std::vector<BatchItem> items;
    for (std::size_t i = 0; i < count; ++i) {
        items.emplace_back(Uuid::random(), folder / ("item" + std::to_string(i) + ".png"));
    }
    return items;
}

// Long work: ends only when asked to stop (or after a bound that fails the test).
void workUntilStopped(std::stop_token stop) {
    std::mutex waitMutex;
    std::condition_variable_any wake;
    std::unique_lock lock(waitMutex);
    wake.wait_for(lock, stop, test::hangGuard, [] { return false; });
    throwIfStopRequested(stop);
}

ProcessingJob makeJob(std::vector<BatchItem> items, std::int64_t concurrency, const std::filesystem::path& output) {
    BatchConfiguration configuration(output, true, "{name}", false, concurrency, false, true);
    return ProcessingJob(Uuid::random(), "fake.preset", "Fake Preset", std::move(items), configuration);
}

std::string prefix(const Uuid& id, std::size_t length) { return id.toString().substr(0, length); }

TEST(BatchQueueManager, NeverRunsMoreThanTheWindowAndFinishesEveryItem) {
    test::TempDir temp;
    std::atomic<int> inFlight{0};
    std::atomic<int> mostInFlight{0};
    Signal firstTwoMet;
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext& context) -> Paths {
        const int now = ++inFlight;
        int seen = mostInFlight.load();
        while (now > seen && !mostInFlight.compare_exchange_weak(seen, now)) {
        }
        if (context.itemIndex <= 2) {
            // The first two must be running side by side.
            firstTwoMet.add(1);
            EXPECT_TRUE(firstTwoMet.waitFor(2));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        --inFlight;
        return {temp.path() / (item.originalFileName + ".out")};
    });
    BatchQueueManager manager;
    Recorder recorder(manager);
    const auto job = makeJob(makeItems(5), 2, temp.path() / "out");
    const auto report = manager.submitAndStart(job, preset);

    EXPECT_EQ(mostInFlight.load(), 2);
    EXPECT_EQ(report.successCount, 5);
    EXPECT_EQ(report.totalProcessed, 5);
    const auto kept = manager.activeJob(job.id);
    ASSERT_TRUE(kept.has_value());
    for (const auto& item : kept->items) {
        EXPECT_EQ(item.status, ProcessingStatus::completed);
        EXPECT_EQ(item.progress, 1.0);
        EXPECT_TRUE(item.completedAt.has_value());
    }
    // Exactly the first two start before anything finishes.
    const auto statuses = recorder.statuses();
    ASSERT_GE(statuses.size(), 3u);
    EXPECT_EQ(statuses[0].itemID, job.items[0].id);
    EXPECT_EQ(statuses[1].itemID, job.items[1].id);
    EXPECT_EQ(statuses[2].status, ProcessingStatus::completed);
    EXPECT_TRUE(std::filesystem::is_directory(temp.path() / "out"));
    EXPECT_FALSE(manager.isProcessing());
}

TEST(BatchQueueManager, ConcurrencyOfOneRunsItemsInListOrderWithTheirIndexes) {
    test::TempDir temp;
    std::mutex mutex;
    std::vector<std::pair<std::int64_t, std::int64_t>> seen;
    std::vector<std::string> names;
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext& context) -> Paths {
        std::lock_guard lock(mutex);
        seen.emplace_back(context.itemIndex, context.totalItems);
        names.push_back(item.originalFileName);
        return {};
    });
    BatchQueueManager manager;
    const auto report = manager.submitAndStart(makeJob(makeItems(4), 1, temp.path()), preset);
    EXPECT_EQ(report.successCount, 4);
    const std::vector<std::pair<std::int64_t, std::int64_t>> expected{{1, 4}, {2, 4}, {3, 4}, {4, 4}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(names, (std::vector<std::string>{"item0", "item1", "item2", "item3"}));
}

TEST(BatchQueueManager, LimitChangedAfterCreationIsKeptWithinReason) {
    const std::vector<std::pair<std::int64_t, std::string>> cases{
        {0, "1"}, {-4, "1"}, {1000000, "256"}, {std::numeric_limits<std::int64_t>::max(), "256"}};
    for (const auto& [limit, used] : cases) {
        test::TempDir temp;
        const FakePreset preset([](const BatchItem&, const ProcessingContext&) -> Paths { return {}; });
        BatchQueueManager manager;
        Recorder recorder(manager);
        auto job = makeJob(makeItems(3), 4, temp.path());
        job.configuration.maxConcurrentTasks = limit;
        const auto report = manager.submitAndStart(job, preset);
        EXPECT_EQ(report.successCount, 3) << limit;
        EXPECT_EQ(recorder.lines().at(1), "Discovered 3 items. Max concurrency: " + used) << limit;
    }
}

TEST(BatchQueueManager, CancelWhileTwoRunFinishesThoseAndLeavesTheRestPending) {
    test::TempDir temp;
    Signal running;
    Signal release;
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext&) -> Paths {
        running.add(1);
        EXPECT_TRUE(release.waitFor(1));
        return {temp.path() / (item.originalFileName + ".out")};
    });
    BatchQueueManager manager;
    Recorder recorder(manager);
    const auto job = makeJob(makeItems(5), 2, temp.path());
    ExecutionReport report;
    std::jthread runner([&] { report = manager.submitAndStart(job, preset); });
    ASSERT_TRUE(running.waitFor(2));
    EXPECT_TRUE(manager.isProcessing());
    manager.cancel();
    EXPECT_FALSE(manager.isProcessing());
    release.set();
    runner.join();

    EXPECT_EQ(report.successCount, 2);
    EXPECT_EQ(report.totalProcessed, 2);
    EXPECT_EQ(report.outputFiles.size(), 2u);
    const auto kept = manager.activeJob(job.id);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->completedItemsCount(), 2);
    for (std::size_t i = 2; i < 5; ++i) EXPECT_EQ(kept->items[i].status, ProcessingStatus::pending) << i;
    // Items never started get no listener call at all.
    for (const auto& status : recorder.statuses()) {
        for (std::size_t i = 2; i < 5; ++i) EXPECT_NE(status.itemID, job.items[i].id);
    }

    const auto lines = recorder.lines();
    const auto count = [&](const std::string& text) { return std::count(lines.begin(), lines.end(), text); };
    EXPECT_EQ(count("Cancellation requested."), 1);
    EXPECT_EQ(count("Batch cancelled by user. Waiting for running items to finish."), 1);
    const auto position = [&](const std::string& text) { return std::find(lines.begin(), lines.end(), text) - lines.begin(); };
    EXPECT_LT(position("Cancellation requested."), position("Batch cancelled by user. Waiting for running items to finish."));
    EXPECT_EQ(lines.back().rfind("Batch complete in ", 0), 0u);
    // The cancelled line follows the first result folded after the cancel.
    const auto calls = recorder.calls();
    std::size_t firstCompleted = calls.size();
    std::size_t cancelledLine = calls.size();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (const auto* status = std::get_if<test::StatusCall>(&calls[i]);
            status && status->status == ProcessingStatus::completed && firstCompleted == calls.size()) {
            firstCompleted = i;
        }
        if (const auto* log = std::get_if<test::LogCall>(&calls[i]);
            log && log->line == "Batch cancelled by user. Waiting for running items to finish.") {
            cancelledLine = i;
        }
    }
    EXPECT_EQ(cancelledLine, firstCompleted + 1);
}

// Quitting: the running items see their stop token, end as cancelled (counted nowhere), and the
// rest stay pending. Every item of a run gets the same ledger, which knows the run's sources; the
// next run gets a new one.
TEST(BatchQueueManager, StopAllEndsRunningItemsAsCancelledAndEachRunHasItsOwnLedger) {
    test::TempDir temp;
    Signal running;
    std::mutex mutex;
    std::set<const RunLedger*> ledgers;
    bool sourcesKnown = true;
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext& context) -> Paths {
        {
            std::lock_guard lock(mutex);
            ledgers.insert(context.ledger.get());
            sourcesKnown = sourcesKnown && context.ledger->isSource(item.sourceURL) &&
                           context.ledger->sources().size() == static_cast<std::size_t>(context.totalItems);
        }
        running.add(1);
        workUntilStopped(context.stopToken);
        return {};
    });
    BatchQueueManager manager;
    Recorder recorder(manager);
    const auto job = makeJob(makeItems(5), 2, temp.path());
    ExecutionReport report;
    std::jthread runner([&] { report = manager.submitAndStart(job, preset); });
    ASSERT_TRUE(running.waitFor(2));
    manager.stopAll();
    runner.join();

    const auto kept = manager.activeJob(job.id);
    ASSERT_TRUE(kept.has_value());
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(kept->items[i].status, i < 2 ? ProcessingStatus::cancelled : ProcessingStatus::pending) << i;
    }
    EXPECT_EQ(report.totalProcessed, 0);
    EXPECT_EQ(report.failureCount, 0);
    EXPECT_TRUE(report.errors.empty());
    const auto lines = recorder.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("Error", 0) == 0; }), 0);
    EXPECT_EQ(ledgers.size(), 1u);
    EXPECT_TRUE(sourcesKnown);

    // A stop belongs to the run it was asked of: the next run is not stopped.
    const FakePreset quick([&](const BatchItem&, const ProcessingContext& context) -> Paths {
        std::lock_guard lock(mutex);
        ledgers.insert(context.ledger.get());
        EXPECT_FALSE(context.stopToken.stop_requested());
        return {};
    });
    EXPECT_EQ(manager.submitAndStart(makeJob(makeItems(2), 2, temp.path()), quick).successCount, 2);
    EXPECT_EQ(ledgers.size(), 2u);
}

// An item stopped part-way takes back what it wrote in this run, so no half set is left looking
// finished; a file it claimed but had not yet replaced (an earlier run's) stays, and so do the
// outputs of items that completed.
TEST(BatchQueueManager, AStoppedItemRemovesTheOutputsItAlreadyWrote) {
    test::TempDir temp;
    const auto earlier = temp.write("out/stopped_mip1.png", "earlier run");
    Signal waiting;
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext& context) -> Paths {
        const auto out = context.configuration.outputDirectory;
        if (context.itemIndex == 1) {
            context.ledger->claimOutput(item, out / "done.png");
            temp.write("out/done.png", "complete");
            return {out / "done.png"};
        }
        context.ledger->claimOutput(item, out / "stopped_base.png");
        context.ledger->claimOutput(item, out / "stopped_mip1.png");
        temp.write("out/stopped_base.png", "base without its chain");
        waiting.set();
        workUntilStopped(context.stopToken);
        return {};
    });
    BatchQueueManager manager;
    const auto job = makeJob(makeItems(2), 1, temp.path() / "out");
    std::jthread runner([&] { manager.submitAndStart(job, preset); });
    ASSERT_TRUE(waiting.waitFor(1));
    manager.stopAll();
    runner.join();
    EXPECT_TRUE(std::filesystem::exists(temp / "out/done.png"));
    EXPECT_FALSE(std::filesystem::exists(temp / "out/stopped_base.png"));
    EXPECT_EQ(test::readFile(earlier), "earlier run");
}

// An output folder that cannot be made or written fails every item at once with the reason,
// before any preset spends time on it.
TEST(BatchQueueManager, AnUnwritableOutputFolderFailsEveryItemBeforeItsWork) {
    test::TempDir temp;
    temp.write("a-file", "x");
    std::filesystem::create_directories(temp / "read-only");
    std::filesystem::permissions(temp / "read-only", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    struct Case {
        const char* name;
        std::filesystem::path folder;
        bool needsPermissions;  // root writes anywhere
    };
    const std::vector<Case> cases{
        {"below a file", temp / "a-file" / "out", false},
        {"read-only", temp / "read-only", true},
        {"below a read-only folder", temp / "read-only" / "out", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsPermissions && ::geteuid() == 0) {
            std::cout << "[  SKIPPED ] " << c.name << ": running as root, which permissions do not stop\n";
            continue;
        }
        std::atomic<int> calls = 0;
        const FakePreset preset([&](const BatchItem&, const ProcessingContext&) -> Paths {
            ++calls;
            return {};
        });
        BatchQueueManager manager;
        const auto job = makeJob(makeItems(3), 2, c.folder);
        const auto report = manager.submitAndStart(job, preset);
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(report.failureCount, 3);
        ASSERT_EQ(report.errors.size(), 3u);
        EXPECT_EQ(report.errors[0].rfind("Cannot write to the output folder " + c.folder.string() + ": ", 0), 0u)
            << report.errors[0];
    }
    std::filesystem::permissions(temp / "read-only", std::filesystem::perms::owner_all);
    EXPECT_TRUE(std::filesystem::is_empty(temp / "read-only"));
}

// Temporaries of a run that was killed (the output folder and the subfolders a preset writes into)
// are gone before the next run's first item starts, and said so; a living run's stay.
TEST(BatchQueueManager, ARunRemovesTheTemporariesAKilledRunLeftInItsOutputFolder) {
    test::TempDir temp;
    const std::filesystem::path out = temp / "out";
    const auto leftBy = [](const std::filesystem::path& destination) {
        return test::OwnerProcess([destination] {
            auto* file = new AtomicFileWriter(destination);  // open until the kill, as mid-write
            return file->temporaryPath().string();
        });
    };
    test::OwnerProcess living = leftBy(out / "busy.png");
    std::vector<std::filesystem::path> dead;
    for (const char* destination : {"a.png", "web/b.jpg", "web/c.jpg"}) {
        test::OwnerProcess killed = leftBy(out / destination);
        killed.kill();
        dead.emplace_back(killed.made());
    }
    ASSERT_FALSE(living.made().empty());
    for (const auto& file : dead) ASSERT_TRUE(std::filesystem::exists(file)) << file;

    std::atomic<int> leftWhenItemStarted = -1;
    const FakePreset preset([&](const BatchItem&, const ProcessingContext&) -> Paths {
        leftWhenItemStarted = static_cast<int>(std::count_if(dead.begin(), dead.end(), [](const auto& file) {
            return std::filesystem::exists(file);
        }));
        return {};
    });
    BatchQueueManager manager;
    Recorder recorder(manager);
    manager.submitAndStart(makeJob(makeItems(1), 1, out), preset);
    EXPECT_EQ(leftWhenItemStarted, 0);
    EXPECT_TRUE(std::filesystem::exists(living.made()));
    auto lines = recorder.lines();
    ASSERT_EQ(lines.size(), 5u);
    std::sort(lines.begin() + 2, lines.begin() + 4);
    EXPECT_EQ(lines[2], "Removed 1 temporary file left by an earlier run in " + out.string());
    EXPECT_EQ(lines[3], "Removed 2 temporary files left by an earlier run in " + (out / "web").string());

    manager.submitAndStart(makeJob(makeItems(1), 1, out), preset);
    EXPECT_EQ(recorder.lines().size(), 5u + 3u);
}

// The caller's cancel request, unlike cancel(), cannot be wiped out by the start of the run:
// one made before the run began starts nothing; one made during the run acts as cancel().
TEST(BatchQueueManager, ACancelRequestReachesItsRunWhenever) {
    for (const bool before : {true, false}) {
        SCOPED_TRACE(before);
        test::TempDir temp;
        std::stop_source cancel;
        Signal running;
        Signal release;
        const FakePreset preset([&](const BatchItem&, const ProcessingContext&) -> Paths {
            running.add(1);
            EXPECT_TRUE(release.waitFor(1));
            return {};
        });
        BatchQueueManager manager;
        Recorder recorder(manager);
        const auto job = makeJob(makeItems(4), 1, temp.path());
        if (before) cancel.request_stop();
        ExecutionReport report;
        std::jthread runner([&] { report = manager.submitAndStart(job, preset, cancel.get_token()); });
        if (!before) {
            ASSERT_TRUE(running.waitFor(1));
            cancel.request_stop();
        }
        release.set();
        runner.join();
        EXPECT_EQ(report.successCount, before ? 0 : 1);
        const auto kept = manager.activeJob(job.id);
        ASSERT_TRUE(kept.has_value());
        EXPECT_EQ(kept->completedItemsCount(), before ? 0 : 1);
        EXPECT_EQ(recorder.statuses().size(), before ? 0u : 2u);
    }
}

TEST(BatchQueueManager, ListenersMayCallBackIntoTheManager) {
    test::TempDir temp;
    Signal cancelled;
    const FakePreset preset([&](const BatchItem&, const ProcessingContext& context) -> Paths {
        if (context.itemIndex == 2) {
            EXPECT_TRUE(cancelled.waitFor(1));
        }
        return {};
    });
    BatchQueueManager manager;
    Recorder recorder(manager);
    manager.addStatusListener(BatchQueueManager::ItemStatusListener(
        [&](const Uuid&, ProcessingStatus status, double, const std::optional<std::string>&) {
            if (status != ProcessingStatus::completed) return;
            // Queries, a log line and a cancel from inside a listener must not deadlock.
            (void)manager.isProcessing();
            (void)manager.activeJobs();
            manager.log("seen a completion");
            manager.cancel();
            cancelled.set();
        }));
    const auto job = makeJob(makeItems(5), 1, temp.path());
    const auto report = manager.submitAndStart(job, preset);
    EXPECT_EQ(report.successCount, 2);
    const auto kept = manager.activeJob(job.id);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->items[4].status, ProcessingStatus::pending);
    // Lines a listener logs while the last calls are delivered may arrive after the run returned;
    // a log line of our own waits for everything before it.
    manager.log("end");
    const auto lines = recorder.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Batch cancelled by user. Waiting for running items to finish."), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "seen a completion"), 2);
}

TEST(BatchQueueManager, CancelBetweenRunsIsForgottenByTheNextRun) {
    test::TempDir temp;
    const FakePreset preset([](const BatchItem&, const ProcessingContext&) -> Paths { return {}; });
    BatchQueueManager manager;
    Recorder recorder(manager);
    manager.cancel();
    EXPECT_EQ(recorder.lines(), std::vector<std::string>{"Cancellation requested."});
    const auto report = manager.submitAndStart(makeJob(makeItems(3), 1, temp.path()), preset);
    EXPECT_EQ(report.successCount, 3);
}

TEST(BatchQueueManager, ListenersAreCalledInTheOrderOfEventsAndOfRegistration) {
    test::TempDir temp;
    const auto items = makeItems(3);
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext& context) -> Paths {
        if (context.itemIndex == 1) {
            context.onProgressUpdate(0.5, "Halfway...");
            context.log("hello from the preset");
            return {temp.path() / "a.png", temp.path() / "b.png"};
        }
        if (context.itemIndex == 2) throw BatchSkip("Nothing to do for " + item.originalFileName);
        throw std::runtime_error("Broken input");
    });
    BatchQueueManager manager;
    Recorder recorder(manager);
    std::vector<std::string> order;
    std::mutex orderMutex;
    for (const std::string name : {"first", "second"}) {
        manager.addLogListener([&, name](const std::string& line) {
            std::lock_guard lock(orderMutex);
            order.push_back(name + " " + line.substr(11));
        });
    }
    const auto job = makeJob(items, 1, temp.path());
    const auto report = manager.submitAndStart(job, preset);

    const auto calls = recorder.calls();
    std::vector<std::string> timeline;
    for (const auto& call : calls) {
        if (const auto* status = std::get_if<test::StatusCall>(&call)) {
            EXPECT_EQ(status->jobID, job.id);
            const auto at = std::find_if(items.begin(), items.end(), [&](const BatchItem& item) { return item.id == status->itemID; });
            timeline.push_back("status " + std::to_string(at - items.begin()) + " " + std::string(rawValue(status->status)) + " " +
                               formatFixed(status->progress, 2) + " " + status->message.value_or("-"));
        } else if (const auto* log = std::get_if<test::LogCall>(&call)) {
            timeline.push_back("log " + log->line);
        } else if (const auto* output = std::get_if<test::OutputCall>(&call)) {
            EXPECT_EQ(output->itemID, items[0].id);
            timeline.push_back("output " + std::to_string(output->outputs.size()));
        }
    }
    const std::vector<std::string> expected{
        "log Starting batch job [" + prefix(job.id, 8) + "] for preset: Fake Preset",
        "log Discovered 3 items. Max concurrency: 1",
        "status 0 Processing 0.10 -",
        "status 0 Processing 0.50 -",
        "log hello from the preset",
        "output 2",
        "status 0 Completed 1.00 -",
        "status 1 Processing 0.10 -",
        "status 1 Skipped 1.00 Nothing to do for item1",
        "log Skipped item " + prefix(items[1].id, 6) + ": Nothing to do for item1",
        "status 2 Processing 0.10 -",
        "status 2 Failed 1.00 Broken input",
        "log Error processing item " + prefix(items[2].id, 6) + ": Broken input",
    };
    ASSERT_EQ(timeline.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(timeline[i], expected[i]) << i;
    EXPECT_EQ(timeline.back().rfind("log Batch complete in ", 0), 0u);

    // Two listeners of one kind: always the first registered, then the second, line by line.
    ASSERT_EQ(order.size() % 2, 0u);
    for (std::size_t i = 0; i < order.size(); i += 2) {
        EXPECT_EQ(order[i].substr(0, 6), "first ");
        EXPECT_EQ(order[i + 1], "second " + order[i].substr(6));
    }

    EXPECT_EQ(report.successCount, 1);
    EXPECT_EQ(report.skippedCount, 1);
    EXPECT_EQ(report.failureCount, 1);
    EXPECT_EQ(report.totalProcessed, 3);
    EXPECT_EQ(report.errors, std::vector<std::string>{"Broken input"});
    EXPECT_EQ(report.outputFiles, (std::vector<std::string>{"a.png", "b.png"}));
    EXPECT_EQ(report.presetID, "fake.preset");
    EXPECT_EQ(report.presetName, "Fake Preset");
    const auto kept = manager.activeJob(job.id);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->items[1].errorMessage, "Nothing to do for item1");
    EXPECT_EQ(kept->items[2].errorMessage, "Broken input");
    EXPECT_EQ(kept->failedItemsCount(), 1);
}

TEST(BatchQueueManager, LogLinesCarryALocalTimePrefixAndTheSummaryItsFigures) {
    test::TempDir temp;
    const FakePreset preset([](const BatchItem&, const ProcessingContext&) -> Paths { return {}; });
    BatchQueueManager manager;
    Recorder recorder(manager);
    const auto job = makeJob({}, 2, temp.path());
    const auto report = manager.submitAndStart(job, preset);
    const auto raw = recorder.rawLines();
    ASSERT_EQ(raw.size(), 3u);
    const std::regex prefixShape(R"(^\[\d\d:\d\d:\d\d\] .*)");
    for (const auto& line : raw) EXPECT_TRUE(std::regex_match(line, prefixShape)) << line;
    EXPECT_EQ(raw[1].substr(11), "Discovered 0 items. Max concurrency: 2");
    EXPECT_TRUE(std::regex_match(raw[2].substr(11),
                                 std::regex(R"(Batch complete in \d+\.\d\ds\. Success: 0, Failures: 0, Skipped: 0\. Throughput: 0\.00 MB/s)")))
        << raw[2];
    EXPECT_EQ(report.totalProcessed, 0);
    EXPECT_EQ(report.bytesProcessed, 0);
    EXPECT_EQ(report.throughputMegabytesPerSec(), 0.0);
    EXPECT_EQ(manager.completedReports().size(), 1u);

    manager.log("by hand");
    EXPECT_EQ(recorder.lines().back(), "by hand");
}

TEST(BatchQueueManager, WhateverAPresetThrowsFailsOnlyItsItem) {
    struct Case {
        const char* name;
        std::function<void()> thrower;
        std::string expected;
    };
    struct Odd {};
    const std::vector<Case> cases{
        {"runtime error", [] { throw std::runtime_error("Disk full"); }, "Disk full"},
        {"empty message", [] { throw std::runtime_error(""); }, "Unknown error"},
        {"out of memory", [] { throw std::bad_alloc(); }, std::bad_alloc().what()},
        {"an int", [] { throw 42; }, "Unknown error"},
        {"a plain struct", [] { throw Odd{}; }, "Unknown error"},
    };
    for (const auto& testCase : cases) {
        test::TempDir temp;
        const FakePreset preset([&](const BatchItem&, const ProcessingContext& context) -> Paths {
            if (context.itemIndex == 2) testCase.thrower();
            return {};
        });
        BatchQueueManager manager;
        Recorder recorder(manager);
        const auto job = makeJob(makeItems(3), 2, temp.path());
        const auto report = manager.submitAndStart(job, preset);
        EXPECT_EQ(report.successCount, 2) << testCase.name;
        EXPECT_EQ(report.failureCount, 1) << testCase.name;
        EXPECT_EQ(report.errors, std::vector<std::string>{testCase.expected}) << testCase.name;
        const auto lines = recorder.lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "Error processing item " + prefix(job.items[1].id, 6) + ": " + testCase.expected),
                  lines.end())
            << testCase.name;
    }
}

TEST(BatchQueueManager, AThrowingListenerNeitherStopsTheRunNorTheOtherListeners) {
    test::TempDir temp;
    const FakePreset preset([](const BatchItem&, const ProcessingContext&) -> Paths { return {"x.png"}; });
    BatchQueueManager manager;
    manager.addStatusListener(BatchQueueManager::StatusListener(
        [](const Uuid&, const Uuid&, ProcessingStatus, double, const std::optional<std::string>&) { throw 7; }));
    manager.addLogListener([](const std::string&) { throw std::runtime_error("listener fault"); });
    manager.addOutputListener([](const Uuid&, const Paths&) { throw std::bad_alloc(); });
    Recorder recorder(manager);
    const auto report = manager.submitAndStart(makeJob(makeItems(4), 2, temp.path()), preset);
    EXPECT_EQ(report.successCount, 4);
    EXPECT_EQ(recorder.statuses().size(), 8u);
    EXPECT_EQ(recorder.lines().size(), 3u);
}

TEST(BatchQueueManager, ProgressIsCappedBelowOneAndNotANumberIsDropped) {
    test::TempDir temp;
    const FakePreset preset([](const BatchItem&, const ProcessingContext& context) -> Paths {
        for (const double fraction : {-0.5, std::numeric_limits<double>::quiet_NaN(), 5.0, 0.25}) {
            context.onProgressUpdate(fraction, "Working...");
        }
        return {};
    });
    BatchQueueManager manager;
    Recorder recorder(manager);
    manager.submitAndStart(makeJob(makeItems(1), 1, temp.path()), preset);
    std::vector<double> progress;
    for (const auto& status : recorder.statuses()) progress.push_back(status.progress);
    EXPECT_EQ(progress, (std::vector<double>{0.1, -0.5, 0.99, 0.25, 1.0}));
}

TEST(BatchQueueManager, ProgressAfterTheItemFinishedChangesNothing) {
    test::TempDir temp;
    std::mutex mutex;
    ProcessingContext::ProgressCallback keptProgress;
    ProcessingContext::LogCallback keptLog;
    const FakePreset preset([&](const BatchItem&, const ProcessingContext& context) -> Paths {
        context.onProgressUpdate(1.0, "Done...");
        std::lock_guard lock(mutex);
        keptProgress = context.onProgressUpdate;
        keptLog = context.log;
        return {};
    });
    auto manager = std::make_unique<BatchQueueManager>();
    Recorder recorder(*manager);
    const auto job = makeJob(makeItems(1), 1, temp.path());
    manager->submitAndStart(job, preset);
    const auto callsBefore = recorder.calls().size();

    keptProgress(0.5, "Late...");
    EXPECT_EQ(recorder.calls().size(), callsBefore);
    const auto kept = manager->activeJob(job.id);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->items[0].status, ProcessingStatus::completed);
    EXPECT_EQ(kept->items[0].progress, 1.0);

    // Once the manager is gone the callbacks do nothing (and do not crash).
    manager.reset();
    keptProgress(0.5, "Later...");
    keptLog("Too late");
    EXPECT_EQ(recorder.calls().size(), callsBefore);
}

TEST(BatchQueueManager, ReportCountsBytesAndOutputsInFinishingOrder) {
    test::TempDir temp;
    const auto big = temp.write("in/big.png", std::string(3000, 'x'));
    const auto small = temp.write("in/small.png", std::string(700, 'y'));
    std::vector<BatchItem> items{BatchItem(Uuid::random(), big), BatchItem(Uuid::random(), small),
                                 BatchItem(Uuid::random(), temp.path() / "in" / "missing.png")};
    EXPECT_EQ(items[2].fileSize, 0);
    Signal secondDone;
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext& context) -> Paths {
        if (context.itemIndex == 1) {
            EXPECT_TRUE(secondDone.waitFor(1));
        }
        Paths out{temp.path() / "out" / (item.originalFileName + "_done.png")};
        return out;
    });
    BatchQueueManager manager;
    manager.addOutputListener([&](const Uuid& id, const Paths&) {
        if (id == items[1].id) secondDone.set();
    });
    const auto report = manager.submitAndStart(makeJob(items, 2, temp.path() / "out"), preset);
    EXPECT_EQ(report.totalProcessed, 3);
    EXPECT_EQ(report.bytesProcessed, 3700);
    ASSERT_EQ(report.outputFiles.size(), 3u);
    EXPECT_EQ(report.outputFiles[0], "small_done.png");
    EXPECT_NE(std::find(report.outputFiles.begin(), report.outputFiles.end(), "big_done.png"), report.outputFiles.end());
    EXPECT_NE(report.outputFiles[0], "big_done.png");
}

TEST(BatchQueueManager, ResubmittingAJobIdReplacesItsEntryAndResetsItsItems) {
    test::TempDir temp;
    const FakePreset failing([](const BatchItem&, const ProcessingContext&) -> Paths { throw std::runtime_error("no"); });
    const FakePreset working([](const BatchItem& item, const ProcessingContext&) -> Paths {
        // The preset sees the reset item, not the state of the previous run.
        EXPECT_EQ(item.status, ProcessingStatus::pending);
        EXPECT_FALSE(item.errorMessage.has_value());
        return {};
    });
    BatchQueueManager manager;
    auto job = makeJob(makeItems(2), 2, temp.path());
    manager.submitAndStart(job, failing);
    job = *manager.activeJob(job.id);
    EXPECT_EQ(job.failedItemsCount(), 2);
    manager.submitAndStart(job, working);
    EXPECT_EQ(manager.activeJobs().size(), 1u);
    EXPECT_EQ(manager.activeJob(job.id)->completedItemsCount(), 2);
    EXPECT_EQ(manager.completedReports().size(), 2u);
}

// An application left open: a thousand runs keep the last 32 jobs and reports, never a job
// still running, and nothing more.
TEST(BatchQueueManager, KeepsOnlyTheLastRunsJobsAndReports) {
    test::TempDir temp;
    Signal release;
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext&) -> Paths {
        if (item.originalFileName == "long") {
            EXPECT_TRUE(release.waitFor(1));
        }
        return {};
    });
    BatchQueueManager manager;
    const auto longJob = makeJob({BatchItem(Uuid::random(), "/nonexistent-morvale/long.png")}, 1, temp.path());
    std::jthread longRun([&] { manager.submitAndStart(longJob, preset); });
    while (!manager.activeJob(longJob.id)) std::this_thread::yield();

    constexpr std::size_t runs = 1000;
    std::vector<Uuid> jobIDs;
    std::vector<Uuid> reportIDs;
    for (std::size_t i = 0; i < runs; ++i) {
        const auto job = makeJob(makeItems(1), 1, temp.path());
        jobIDs.push_back(job.id);
        reportIDs.push_back(manager.submitAndStart(job, preset).id);
        ASSERT_LE(manager.activeJobs().size(), BatchQueueManager::keptRuns + 1);
    }
    EXPECT_TRUE(manager.activeJob(longJob.id).has_value()) << "a running job was dropped";
    release.set();
    longRun.join();

    const auto jobs = manager.activeJobs();
    std::set<Uuid> kept;
    for (const auto& [id, job] : jobs) kept.insert(id);
    // The running job took the place of the oldest finished one, and keeps it once finished.
    std::set<Uuid> expected(jobIDs.end() - (BatchQueueManager::keptRuns - 1), jobIDs.end());
    expected.insert(longJob.id);
    EXPECT_EQ(kept, expected);
    const auto reports = manager.completedReports();
    ASSERT_EQ(reports.size(), BatchQueueManager::keptRuns);
    // Oldest first; the long run finished last.
    for (std::size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].id, reportIDs[runs - BatchQueueManager::keptRuns + 1 + i]);
    }
}

TEST(BatchQueueManager, ItemStatusListenerGetsTheSameCallsWithoutTheJob) {
    test::TempDir temp;
    const FakePreset preset([](const BatchItem&, const ProcessingContext&) -> Paths { return {}; });
    BatchQueueManager manager;
    std::vector<ProcessingStatus> seen;
    std::mutex mutex;
    manager.addStatusListener(BatchQueueManager::ItemStatusListener(
        [&](const Uuid&, ProcessingStatus status, double, const std::optional<std::string>&) {
            std::lock_guard lock(mutex);
            seen.push_back(status);
        }));
    manager.submitAndStart(makeJob(makeItems(1), 1, temp.path()), preset);
    EXPECT_EQ(seen, (std::vector<ProcessingStatus>{ProcessingStatus::processing, ProcessingStatus::completed}));
}

TEST(BatchQueueManager, ManyItemsAtHighConcurrencyAllArriveOnce) {
    test::TempDir temp;
    std::atomic<int> calls{0};
    const FakePreset preset([&](const BatchItem& item, const ProcessingContext& context) -> Paths {
        ++calls;
        context.onProgressUpdate(0.5, "Half...");
        context.log("item " + item.originalFileName);
        return {item.sourceURL};
    });
    BatchQueueManager manager;
    Recorder recorder(manager);
    auto job = makeJob(makeItems(300), 16, temp.path());
    job.configuration.maxConcurrentTasks = 16;
    const auto report = manager.submitAndStart(job, preset);
    EXPECT_EQ(calls.load(), 300);
    EXPECT_EQ(report.successCount, 300);
    EXPECT_EQ(report.outputFiles.size(), 300u);
    // Per item: started, halfway, completed; each in that order.
    std::map<Uuid, std::vector<double>> perItem;
    for (const auto& status : recorder.statuses()) perItem[status.itemID].push_back(status.progress);
    ASSERT_EQ(perItem.size(), 300u);
    for (const auto& [id, progress] : perItem) EXPECT_EQ(progress, (std::vector<double>{0.1, 0.5, 1.0}));
    EXPECT_EQ(recorder.lines().size(), 303u);
}

}  // namespace
}  // namespace morvale
