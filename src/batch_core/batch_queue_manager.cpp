#include "batch_core/batch_queue_manager.h"

#include <mutex>

namespace morvale {

struct BatchQueueManager::State {
    mutable std::mutex mutex;
};

BatchQueueManager::BatchQueueManager() : state_(std::make_shared<State>()) {}
BatchQueueManager::~BatchQueueManager() = default;
void BatchQueueManager::addStatusListener(StatusListener) {}
void BatchQueueManager::addStatusListener(ItemStatusListener) {}
void BatchQueueManager::addLogListener(LogListener) {}
void BatchQueueManager::addOutputListener(OutputListener) {}
void BatchQueueManager::log(const std::string&) {}
ExecutionReport BatchQueueManager::submitAndStart(const ProcessingJob&, const BatchPreset&) { return {}; }
void BatchQueueManager::cancel() {}
std::map<Uuid, ProcessingJob> BatchQueueManager::activeJobs() const { return {}; }
std::optional<ProcessingJob> BatchQueueManager::activeJob(const Uuid&) const { return std::nullopt; }
std::vector<ExecutionReport> BatchQueueManager::completedReports() const { return {}; }
bool BatchQueueManager::isProcessing() const { return false; }

}  // namespace morvale
