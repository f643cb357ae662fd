#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/uuid.h"

namespace morvale {

// What a preset gets with each item. Both callbacks may be called from any thread, any number of
// times, also after process() has returned; they never throw and never block for long.
struct ProcessingContext {
    using ProgressCallback = std::function<void(double fraction, const std::string& message)>;
    using LogCallback = std::function<void(const std::string& message)>;

    // An empty callback is replaced by one that does nothing, so presets may always call both.
    ProcessingContext(Uuid jobID, BatchConfiguration configuration, std::int64_t itemIndex,
                      std::int64_t totalItems, ProgressCallback onProgressUpdate = {}, LogCallback log = {});

    Uuid jobID;
    BatchConfiguration configuration;
    std::int64_t itemIndex = 1;   // position of the item in the job, counted from 1
    std::int64_t totalItems = 0;  // every item of the job, started or not
    ProgressCallback onProgressUpdate;
    LogCallback log;
    // The source file of every item of the job, in job order (null when the caller has no job):
    // a preset that writes into shared folders can refuse to replace a file that an item of the
    // same run has yet to read.
    std::shared_ptr<const std::vector<std::filesystem::path>> jobSources;
};

}  // namespace morvale
