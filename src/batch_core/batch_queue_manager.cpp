#include "batch_core/batch_queue_manager.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <variant>

#include "base/atomic_file_writer.h"
#include "base/cancellation.h"
#include "base/temporary_file_name.h"
#include "batch_core/batch_skip.h"
#include "batch_core/platform.h"
#include "batch_core/run_ledger.h"

namespace morvale {

namespace {

namespace fs = std::filesystem;

struct StatusEvent {
    Uuid jobID;
    Uuid itemID;
    ProcessingStatus status;
    double progress;
    std::optional<std::string> message;
};

struct LogEvent {
    std::string line;
};

struct OutputEvent {
    Uuid itemID;
    std::vector<fs::path> outputs;
};

using Event = std::variant<StatusEvent, LogEvent, OutputEvent>;

struct Listeners {
    std::vector<BatchQueueManager::StatusListener> status;
    std::vector<BatchQueueManager::LogListener> log;
    std::vector<BatchQueueManager::OutputListener> output;
};

struct Skipped {
    std::string reason;
};

struct Failed {
    std::string description;
};

struct Cancelled {};

using Outcome = std::variant<std::vector<fs::path>, Skipped, Failed, Cancelled>;

// Far above anything the configuration's own clamp (twice the processors) allows.
constexpr std::int64_t maxWorkerThreads = 256;

// The preset's identity for the log and the report; a preset that throws even here does not
// make submitAndStart() throw.
template <typename Getter>
std::string guarded(Getter getter) {
    try {
        return getter();
    } catch (...) {
        return {};
    }
}

std::string lastComponent(const fs::path& path) {
    auto name = path.filename();
    if (name.empty()) name = path.parent_path().filename();
    return name.string();
}

std::string describe(const std::exception& error) {
    std::string text = error.what();
    return text.empty() ? std::string("Unknown error") : text;
}

// Creates the output folder and checks that files can be made in it; the reason when not.
std::optional<std::string> outputFolderProblem(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(folder, error);
    if (!error) {
        // A temporary like any output's, so a probe cut short by a kill is swept like them.
        try {
            AtomicFileWriter probe(folder / "write-check", {.createFolders = false, .durable = false});
            return std::nullopt;
        } catch (const AtomicWriteError& failure) {
            error = failure.code();
        }
    }
    return "Cannot write to the output folder " + folder.string() + ": " + error.message();
}

template <typename Listener, typename... Args>
void callEach(const std::vector<Listener>& listeners, const Args&... args) {
    for (const auto& listener : listeners) {
        // A faulty listener must not take the run (or the other listeners) down with it.
        try {
            listener(args...);
        } catch (...) {
        }
    }
}

}  // namespace

struct BatchQueueManager::State {
    struct JobEntry {
        ProcessingJob job;
        std::unordered_map<Uuid, std::size_t> positions;  // first item with each id
        std::uint64_t submitted = 0;  // run number of its latest submission
        int runsGoing = 0;            // a job still running is never dropped
    };

    std::mutex mutex;
    std::condition_variable deliveredChanged;

    std::map<Uuid, JobEntry> jobs;
    std::deque<ExecutionReport> reports;
    bool processing = false;
    bool cancelled = false;
    // The stop source of every run going on now, by run number; stopAll() fires them.
    std::map<std::uint64_t, std::stop_source> runStops;
    std::uint64_t runsStarted = 0;

    // Copied on write, so that delivery can use a snapshot without holding the mutex.
    std::shared_ptr<const Listeners> listeners = std::make_shared<Listeners>();

    // Listener calls waiting to be made, in the order the changes happened. One delivery thread
    // per manager makes them, one at a time and never under the mutex, so the threads that
    // change state (workers, the caller of cancel()) never run listeners on their own stack for
    // longer than it takes to append here.
    std::deque<Event> events;
    std::uint64_t enqueued = 0;
    std::uint64_t delivered = 0;
    bool deliveryIdle = false;
    bool stopping = false;
    std::condition_variable wake;
    std::jthread deliveryThread;
    std::thread::id deliveryThreadID;

    // ---- everything below runs with `mutex` held ----

    // At most keptRuns jobs: the oldest finished submission goes first; running jobs stay.
    void dropOldJobs() {
        while (jobs.size() > keptRuns) {
            auto oldest = jobs.end();
            for (auto entry = jobs.begin(); entry != jobs.end(); ++entry) {
                if (entry->second.runsGoing == 0 &&
                    (oldest == jobs.end() || entry->second.submitted < oldest->second.submitted)) {
                    oldest = entry;
                }
            }
            if (oldest == jobs.end()) return;
            jobs.erase(oldest);
        }
    }

    void enqueue(Event event) {
        if (stopping) return;
        events.push_back(std::move(event));
        ++enqueued;
        if (deliveryIdle) wake.notify_one();
    }

    void logLocked(const std::string& message) {
        if (listeners->log.empty()) return;
        enqueue(LogEvent{logTimePrefix(std::chrono::system_clock::now()) + message});
    }

    void applyStatus(const Uuid& jobID, const Uuid& itemID, ProcessingStatus status, double progress,
                     std::optional<std::string> message) {
        const auto job = jobs.find(jobID);
        if (job != jobs.end()) {
            const auto position = job->second.positions.find(itemID);
            if (position != job->second.positions.end()) {
                BatchItem& item = job->second.job.items[position->second];
                // A finished item never goes back to pending or processing (late progress reports).
                if (isTerminal(item.status) && !isTerminal(status)) return;
                item.status = status;
                item.progress = progress;
                if (message) item.errorMessage = *message;
                if (status == ProcessingStatus::completed) item.completedAt = std::chrono::system_clock::now();
            }
        }
        if (!listeners->status.empty()) enqueue(StatusEvent{jobID, itemID, status, progress, std::move(message)});
    }

    // Waits until everything enqueued so far has reached the listeners; returns at once on the
    // delivery thread itself (a listener calling back in) or once the manager is going away.
    void waitDelivered(std::unique_lock<std::mutex>& lock) {
        if (std::this_thread::get_id() == deliveryThreadID) return;
        const auto target = enqueued;
        deliveredChanged.wait(lock, [&] { return delivered >= target || stopping; });
    }

    // ---- the delivery thread ----

    void deliveryLoop() {
        std::unique_lock lock(mutex);
        while (true) {
            deliveryIdle = true;
            wake.wait(lock, [&] { return !events.empty() || stopping; });
            deliveryIdle = false;
            if (events.empty()) break;  // stopping, and nothing left to say
            std::deque<Event> batch;
            batch.swap(events);
            const auto current = listeners;
            lock.unlock();
            for (const auto& event : batch) deliver(event, *current);
            lock.lock();
            delivered += batch.size();
            deliveredChanged.notify_all();
        }
        deliveredChanged.notify_all();
    }

    static void deliver(const Event& event, const Listeners& current) {
        if (const auto* status = std::get_if<StatusEvent>(&event)) {
            callEach(current.status, status->jobID, status->itemID, status->status, status->progress, status->message);
        } else if (const auto* line = std::get_if<LogEvent>(&event)) {
            callEach(current.log, line->line);
        } else if (const auto* output = std::get_if<OutputEvent>(&event)) {
            callEach(current.output, output->itemID, output->outputs);
        }
    }

    void addListener(const std::function<void(Listeners&)>& add) {
        std::lock_guard lock(mutex);
        auto copy = std::make_shared<Listeners>(*listeners);
        add(*copy);
        listeners = std::move(copy);
    }
};

namespace {

// What one run shares between its workers; guarded by the manager's mutex except for the
// fields marked read-only.
struct Run {
    // read-only while workers run
    const BatchPreset* preset = nullptr;
    Uuid jobID;
    const BatchConfiguration* configuration = nullptr;
    std::vector<BatchItem> items;  // as reset, handed to the preset

    std::stop_token cancelRequest;  // the caller's own cancel, which the start of a run cannot clear

    std::size_t nextToStart = 0;
    std::vector<std::size_t> orphans;  // marked processing, but their thread could not be made
    bool cancelNoticed = false;

    std::int64_t successes = 0;
    std::int64_t failures = 0;
    std::int64_t skips = 0;
    std::int64_t bytes = 0;
    std::vector<std::string> outputFiles;
    std::vector<std::string> errors;
};

}  // namespace

BatchQueueManager::BatchQueueManager() : state_(std::make_shared<State>()) {
    std::lock_guard lock(state_->mutex);
    // The thread keeps the state alive for as long as it runs; the destructor ends and joins it.
    state_->deliveryThread = std::jthread([keep = state_] { keep->deliveryLoop(); });
    state_->deliveryThreadID = state_->deliveryThread.get_id();
}

BatchQueueManager::~BatchQueueManager() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;  // what is queued is still delivered; nothing new is accepted
        state_->wake.notify_all();
    }
    if (state_->deliveryThread.joinable() && state_->deliveryThreadID != std::this_thread::get_id()) {
        state_->deliveryThread.join();
    } else if (state_->deliveryThread.joinable()) {
        // Destroyed from one of its own listeners: the thread finishes on its own and its
        // reference keeps the state alive until then.
        state_->deliveryThread.detach();
    }
}

void BatchQueueManager::addStatusListener(StatusListener listener) {
    if (!listener) return;
    state_->addListener([&](Listeners& all) { all.status.push_back(std::move(listener)); });
}

void BatchQueueManager::addStatusListener(ItemStatusListener listener) {
    if (!listener) return;
    addStatusListener(StatusListener(
        [inner = std::move(listener)](const Uuid&, const Uuid& itemID, ProcessingStatus status, double progress,
                                      const std::optional<std::string>& message) { inner(itemID, status, progress, message); }));
}

void BatchQueueManager::addLogListener(LogListener listener) {
    if (!listener) return;
    state_->addListener([&](Listeners& all) { all.log.push_back(std::move(listener)); });
}

void BatchQueueManager::addOutputListener(OutputListener listener) {
    if (!listener) return;
    state_->addListener([&](Listeners& all) { all.output.push_back(std::move(listener)); });
}

void BatchQueueManager::log(const std::string& message) {
    std::unique_lock lock(state_->mutex);
    state_->logLocked(message);
    state_->waitDelivered(lock);
}

void BatchQueueManager::cancel() {
    std::unique_lock lock(state_->mutex);
    state_->cancelled = true;
    state_->processing = false;
    state_->logLocked("Cancellation requested.");
    state_->waitDelivered(lock);
}

void BatchQueueManager::stopAll() {
    std::unique_lock lock(state_->mutex);
    state_->cancelled = true;
    state_->processing = false;
    for (auto& [number, stop] : state_->runStops) stop.request_stop();
    state_->logLocked("Cancellation requested.");
    state_->waitDelivered(lock);
}

std::map<Uuid, ProcessingJob> BatchQueueManager::activeJobs() const {
    std::lock_guard lock(state_->mutex);
    std::map<Uuid, ProcessingJob> result;
    for (const auto& [id, entry] : state_->jobs) result.emplace(id, entry.job);
    return result;
}

std::optional<ProcessingJob> BatchQueueManager::activeJob(const Uuid& jobID) const {
    std::lock_guard lock(state_->mutex);
    const auto found = state_->jobs.find(jobID);
    if (found == state_->jobs.end()) return std::nullopt;
    return found->second.job;
}

std::vector<ExecutionReport> BatchQueueManager::completedReports() const {
    std::lock_guard lock(state_->mutex);
    return {state_->reports.begin(), state_->reports.end()};
}

bool BatchQueueManager::isProcessing() const {
    std::lock_guard lock(state_->mutex);
    return state_->processing;
}

ExecutionReport BatchQueueManager::submitAndStart(const ProcessingJob& job, const BatchPreset& preset,
                                                  std::stop_token cancelRequest) {
    // The run keeps the state alive even if the manager goes away under it.
    const std::shared_ptr<State> state = state_;
    const std::weak_ptr<State> weakState = state;

    ProcessingJob copy = job;
    for (auto& item : copy.items) {
        item.status = ProcessingStatus::pending;
        item.progress = 0.0;
        item.errorMessage.reset();
    }

    Run run;
    run.preset = &preset;
    run.jobID = copy.id;
    run.items = copy.items;
    const std::size_t total = copy.items.size();
    const std::int64_t configured = copy.configuration.maxConcurrentTasks;
    // A limit set to 0 or less after creation still runs one item at a time, and one raised far
    // beyond the machine after creation does not get a thread per item.
    const std::int64_t limit = std::clamp<std::int64_t>(configured, 1, maxWorkerThreads);
    const std::size_t window = std::min<std::size_t>(total, static_cast<std::size_t>(limit));
    const std::string presetName = guarded([&] { return preset.displayName(); });
    const std::string presetID = guarded([&] { return preset.id(); });
    // Our own copy: a later submission of the same job id replaces the kept entry.
    const BatchConfiguration configuration = copy.configuration;
    run.configuration = &configuration;
    run.cancelRequest = std::move(cancelRequest);
    std::stop_token stopToken;
    std::uint64_t runNumber = 0;

    {
        std::unique_lock lock(state->mutex);
        runNumber = ++state->runsStarted;
        stopToken = state->runStops[runNumber].get_token();
        State::JobEntry entry{std::move(copy), {}, runNumber, 1};
        entry.positions.reserve(total);
        for (std::size_t i = 0; i < total; ++i) entry.positions.emplace(entry.job.items[i].id, i);
        if (const auto earlier = state->jobs.find(run.jobID); earlier != state->jobs.end()) {
            entry.runsGoing += earlier->second.runsGoing;
        }
        state->jobs.insert_or_assign(run.jobID, std::move(entry));
        state->dropOldJobs();
        state->processing = true;
        state->cancelled = false;
        state->logLocked("Starting batch job [" + run.jobID.toString().substr(0, 8) + "] for preset: " + presetName);
        state->logLocked("Discovered " + std::to_string(total) + " items. Max concurrency: " + std::to_string(limit));
    }
    const auto started = std::chrono::steady_clock::now();
    // Found now rather than at each item's first write, after minutes of work.
    const std::optional<std::string> unwritable = outputFolderProblem(configuration.outputDirectory);
    if (!unwritable) {
        const auto removed = TemporaryFileName::removeAbandoned(configuration.outputDirectory);
        std::lock_guard lock(state->mutex);
        for (const auto& [folder, count] : removed) {
            state->logLocked("Removed " + std::to_string(count) + (count == 1 ? " temporary file" : " temporary files") +
                             " left by an earlier run in " + folder.string());
        }
    }

    std::vector<fs::path> sources;
    sources.reserve(run.items.size());
    for (const auto& queued : run.items) sources.push_back(queued.sourceURL);
    // The pattern the presets name by: the run's, or the preset's own when the run has none.
    std::string pattern = configuration.namingPattern;
    if (pattern.empty()) pattern = guarded([&] { return preset.defaultNamingPattern(); });
    const auto ledger = std::make_shared<RunLedger>(std::move(sources), std::move(pattern));

    auto runItem = [&run, &weakState, &ledger, &stopToken, &unwritable, total](std::size_t position) -> Outcome {
        const BatchItem& item = run.items[position];
        if (unwritable) return Failed{*unwritable};
        try {
            const Uuid jobID = run.jobID;
            const Uuid itemID = item.id;
            ProcessingContext context(
                jobID, *run.configuration, static_cast<std::int64_t>(position) + 1, static_cast<std::int64_t>(total),
                [weakState, jobID, itemID](double fraction, const std::string&) {
                    if (std::isnan(fraction)) return;
                    const auto alive = weakState.lock();
                    if (!alive) return;
                    try {
                        std::unique_lock lock(alive->mutex);
                        alive->applyStatus(jobID, itemID, ProcessingStatus::processing, std::min(fraction, 0.99),
                                           std::nullopt);
                    } catch (...) {
                    }
                },
                [weakState](const std::string& message) {
                    const auto alive = weakState.lock();
                    if (!alive) return;
                    try {
                        std::unique_lock lock(alive->mutex);
                        alive->logLocked(message);
                    } catch (...) {
                    }
                },
                ledger, stopToken);
            return run.preset->process(item, context);
        } catch (const BatchSkip& skip) {
            return Skipped{skip.reason()};
        } catch (const OperationCancelled&) {
            // Whatever the item already wrote would look finished without the rest of its set.
            ledger->removeOutputsOf(item.id);
            return Cancelled{};
        } catch (const std::exception& error) {
            return Failed{describe(error)};
        } catch (...) {
            return Failed{"Unknown error"};
        }
    };

    // With the mutex held: counts the result, tells the listeners, and picks the next item.
    auto fold = [&run, &state](std::size_t position, Outcome outcome) -> std::optional<std::size_t> {
        const BatchItem& item = run.items[position];
        run.bytes += item.fileSize;
        if (auto* outputs = std::get_if<std::vector<fs::path>>(&outcome)) {
            ++run.successes;
            for (const auto& output : *outputs) run.outputFiles.push_back(lastComponent(output));
            if (!state->listeners->output.empty()) state->enqueue(OutputEvent{item.id, std::move(*outputs)});
            state->applyStatus(run.jobID, item.id, ProcessingStatus::completed, 1.0, std::nullopt);
        } else if (auto* skipped = std::get_if<Skipped>(&outcome)) {
            ++run.skips;
            state->applyStatus(run.jobID, item.id, ProcessingStatus::skipped, 1.0, skipped->reason);
            state->logLocked("Skipped item " + item.id.toString().substr(0, 6) + ": " + skipped->reason);
        } else if (auto* failed = std::get_if<Failed>(&outcome)) {
            ++run.failures;
            run.errors.push_back(failed->description);
            state->applyStatus(run.jobID, item.id, ProcessingStatus::failed, 1.0, failed->description);
            state->logLocked("Error processing item " + item.id.toString().substr(0, 6) + ": " + failed->description);
        } else {
            // Stopped on the way out of the application: neither a result nor a failure.
            state->applyStatus(run.jobID, item.id, ProcessingStatus::cancelled, 1.0, std::nullopt);
        }

        if (!run.orphans.empty()) {
            const auto orphan = run.orphans.back();
            run.orphans.pop_back();
            return orphan;
        }
        if (state->cancelled || run.cancelRequest.stop_requested()) {
            if (!run.cancelNoticed) {
                run.cancelNoticed = true;
                state->logLocked("Batch cancelled by user. Waiting for running items to finish.");
            }
            return std::nullopt;
        }
        if (run.nextToStart < run.items.size()) {
            const auto next = run.nextToStart++;
            state->applyStatus(run.jobID, run.items[next].id, ProcessingStatus::processing, 0.1, std::nullopt);
            return next;
        }
        return std::nullopt;
    };

    auto worker = [&](std::size_t first) {
        std::optional<std::size_t> position = first;
        while (position) {
            Outcome outcome = runItem(*position);
            std::lock_guard lock(state->mutex);
            position = fold(*position, std::move(outcome));
        }
    };

    bool cancelledAtStart = false;
    {
        std::unique_lock lock(state->mutex);
        cancelledAtStart = state->cancelled || run.cancelRequest.stop_requested();
    }
    // A cancel asked for before the run got here starts nothing, and every item stays pending.
    if (window > 0 && !cancelledAtStart) {
        {
            std::unique_lock lock(state->mutex);
            for (std::size_t i = 0; i < window; ++i) {
                state->applyStatus(run.jobID, run.items[i].id, ProcessingStatus::processing, 0.1, std::nullopt);
            }
            run.nextToStart = window;
        }
        std::vector<std::jthread> helpers;
        helpers.reserve(window - 1);
        for (std::size_t i = 1; i < window; ++i) {
            try {
                helpers.emplace_back(worker, i);
            } catch (const std::system_error&) {
                // Out of threads: the ones we have take over the items already marked as started.
                std::lock_guard lock(state->mutex);
                for (std::size_t orphan = window; orphan-- > i;) run.orphans.push_back(orphan);
                break;
            }
        }
        worker(0);
        helpers.clear();
    }

    ExecutionReport report;
    report.id = Uuid::random();
    report.presetID = presetID;
    report.presetName = presetName;
    {
        std::unique_lock lock(state->mutex);
        report.successCount = run.successes;
        report.failureCount = run.failures;
        report.skippedCount = run.skips;
        report.totalProcessed = run.successes + run.failures + run.skips;
        report.bytesProcessed = run.bytes;
        report.durationSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        report.timestamp = std::chrono::system_clock::now();
        report.outputFiles = std::move(run.outputFiles);
        report.errors = std::move(run.errors);
        state->reports.push_back(report);
        while (state->reports.size() > keptRuns) state->reports.pop_front();
        if (const auto entry = state->jobs.find(run.jobID); entry != state->jobs.end()) --entry->second.runsGoing;
        state->dropOldJobs();
        state->runStops.erase(runNumber);
        state->processing = false;
        state->logLocked("Batch complete in " + formatFixed(report.durationSeconds, 2) +
                         "s. Success: " + std::to_string(report.successCount) +
                         ", Failures: " + std::to_string(report.failureCount) +
                         ", Skipped: " + std::to_string(report.skippedCount) +
                         ". Throughput: " + formatFixed(report.throughputMegabytesPerSec(), 2) + " MB/s");
        state->waitDelivered(lock);
    }
    return report;
}

}  // namespace morvale
