#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "batch_core/batch_preset.h"
#include "batch_core/execution_report.h"
#include "batch_core/processing_job.h"
#include "batch_core/processing_status.h"
#include "batch_core/uuid.h"

namespace morvale {

// Runs one job through one preset with a bounded, sliding window of worker threads, keeps the
// live state of every item and tells listeners about status changes, outputs and log lines.
//
// All state is guarded by one mutex. Listeners are called on the manager's own delivery thread,
// one call at a time, in the order the changes happened and in registration order within a
// kind, never while the mutex is held; a listener may therefore call back into the manager
// (cancel(), log(), the queries). A listener that throws is ignored. Listeners should return
// quickly and must not wait for the thread that called submitAndStart().
//
// Everything a run reports has reached the listeners when submitAndStart() returns, and a line
// passed to log() or cancel() has reached them when that call returns. Progress and log lines
// from a preset are delivered asynchronously, like all other run events.
class BatchQueueManager {
public:
    using StatusListener = std::function<void(const Uuid& jobID, const Uuid& itemID, ProcessingStatus status,
                                              double progress, const std::optional<std::string>& message)>;
    // The same without the job id, for callers that look items up by id alone.
    using ItemStatusListener = std::function<void(const Uuid& itemID, ProcessingStatus status, double progress,
                                                  const std::optional<std::string>& message)>;
    using LogListener = std::function<void(const std::string& line)>;
    using OutputListener = std::function<void(const Uuid& itemID, const std::vector<std::filesystem::path>& outputs)>;

    BatchQueueManager();
    ~BatchQueueManager();
    BatchQueueManager(const BatchQueueManager&) = delete;
    BatchQueueManager& operator=(const BatchQueueManager&) = delete;

    void addStatusListener(StatusListener listener);
    void addStatusListener(ItemStatusListener listener);
    void addLogListener(LogListener listener);
    void addOutputListener(OutputListener listener);

    // Sends "[HH:MM:SS] " + message (local time) to the log listeners.
    void log(const std::string& message);

    // Runs the job (on a copy with every item reset to pending) and blocks until every started
    // item has finished; never throws. The calling thread works as one of the workers. The preset
    // must stay alive and unchanged until this returns. Items not started because of cancel()
    // stay pending. A stop requested on `cancelRequest`, before or during the run, cancels this
    // run as cancel() does; unlike cancel() it cannot be lost to the start of the run, so a
    // caller that starts the run on another thread can cancel it at any moment after asking.
    // Every item gets the run's own ledger and a stop token that stopAll() fires; an item whose
    // preset throws OperationCancelled ends as cancelled and is counted in no total, and the
    // outputs it had already written in this run are removed.
    // The output folder is made and checked first: when no file can be created in it, every
    // item fails at once with "Cannot write to the output folder <folder>: <reason>".
    ExecutionReport submitAndStart(const ProcessingJob& job, const BatchPreset& preset,
                                   std::stop_token cancelRequest = {});

    // No further item starts; running items finish. Logs "Cancellation requested.". The flag is
    // cleared when the next run starts.
    void cancel();

    // Quitting: cancel(), and also asks the items running now to stop through their stop tokens,
    // so that long work ends within about 100 ms and removes its partial files. submitAndStart()
    // still returns its report once they have.
    void stopAll();

    // Snapshots of the kept state: at most keptRuns jobs, the oldest finished one giving way to a
    // new submission (a job still running is never dropped), and the reports of the last keptRuns
    // runs, oldest first; an application left open for thousands of runs holds no more.
    static constexpr std::size_t keptRuns = 32;
    std::map<Uuid, ProcessingJob> activeJobs() const;
    std::optional<ProcessingJob> activeJob(const Uuid& jobID) const;
    std::vector<ExecutionReport> completedReports() const;
    bool isProcessing() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace morvale
