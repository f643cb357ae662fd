#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "batch_core/batch_configuration.h"
#include "batch_core/run_ledger.h"
#include "batch_core/uuid.h"

namespace morvale {

// What a preset gets with each item. Both callbacks may be called from any thread, any number of
// times, also after process() has returned; they never throw and never block for long.
struct ProcessingContext {
    using ProgressCallback = std::function<void(double fraction, const std::string& message)>;
    using LogCallback = std::function<void(const std::string& message)>;

    // An empty callback is replaced by one that does nothing, so presets may always call both; a
    // null ledger by an empty one of this context's own.
    ProcessingContext(Uuid jobID, BatchConfiguration configuration, std::int64_t itemIndex,
                      std::int64_t totalItems, ProgressCallback onProgressUpdate = {}, LogCallback log = {},
                      std::shared_ptr<RunLedger> ledger = {}, std::stop_token stopToken = {});

    Uuid jobID;
    BatchConfiguration configuration;
    std::int64_t itemIndex = 1;   // position of the item in the job, counted from 1
    std::int64_t totalItems = 0;  // every item of the job, started or not
    ProgressCallback onProgressUpdate;
    LogCallback log;
    // What the items of the run share: the job's sources, claimed outputs, recorded reads and
    // choices made once. Never null; the same object for every item of one run.
    std::shared_ptr<RunLedger> ledger;
    // Asked to stop when the application quits: long work checks it at least every 100 ms, removes
    // its temporary files and throws OperationCancelled, which ends the item as cancelled.
    std::stop_token stopToken;
};

}  // namespace morvale
