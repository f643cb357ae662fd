#include "batch_core/processing_job.h"

#include <algorithm>

namespace morvale {

ProcessingJob::ProcessingJob(Uuid jobID, std::string preset, std::string name, std::vector<BatchItem> jobItems,
                             BatchConfiguration jobConfiguration)
    : id(jobID),
      presetID(std::move(preset)),
      presetName(std::move(name)),
      items(std::move(jobItems)),
      configuration(std::move(jobConfiguration)),
      startedAt(std::chrono::system_clock::now()) {}

std::int64_t ProcessingJob::totalItems() const { return static_cast<std::int64_t>(items.size()); }

std::int64_t ProcessingJob::completedItemsCount() const {
    return std::count_if(items.begin(), items.end(),
                         [](const BatchItem& item) { return item.status == ProcessingStatus::completed; });
}

std::int64_t ProcessingJob::failedItemsCount() const {
    return std::count_if(items.begin(), items.end(),
                         [](const BatchItem& item) { return item.status == ProcessingStatus::failed; });
}

double ProcessingJob::overallProgress() const {
    if (items.empty()) return 0.0;
    double sum = 0.0;
    for (const auto& item : items) sum += item.progress;
    return sum / static_cast<double>(items.size());
}

}  // namespace morvale
