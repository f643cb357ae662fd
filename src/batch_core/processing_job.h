#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch_core/batch_configuration.h"
#include "batch_core/batch_item.h"
#include "batch_core/uuid.h"

namespace morvale {

// One run of a list of items through one preset.
struct ProcessingJob {
    // startedAt is now, finishedAt none.
    ProcessingJob(Uuid id, std::string presetID, std::string presetName, std::vector<BatchItem> items,
                  BatchConfiguration configuration);

    Uuid id;
    std::string presetID;
    std::string presetName;
    std::vector<BatchItem> items;
    BatchConfiguration configuration;
    std::chrono::system_clock::time_point startedAt;
    std::optional<std::chrono::system_clock::time_point> finishedAt;

    std::int64_t totalItems() const;
    std::int64_t completedItemsCount() const;
    std::int64_t failedItemsCount() const;
    // Mean of the items' progress; 0 without items.
    double overallProgress() const;
};

}  // namespace morvale
