#include "batch_ui/ingest_worker.h"

#include "batch_core/file_ingest.h"
#include "batch_core/uuid.h"

namespace morvale {

IngestWorker::IngestWorker(Delivery deliver) : deliver_(std::move(deliver)) {
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

IngestWorker::~IngestWorker() { stop(); }

void IngestWorker::enqueue(std::vector<std::filesystem::path> paths, std::set<std::string> extensions) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(Request{std::move(paths), std::move(extensions)});
    }
    wake_.notify_one();
}

void IngestWorker::stop() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    wake_.notify_all();
    thread_.join();
}

void IngestWorker::run(std::stop_token stop) {
    while (true) {
        Request request;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return !requests_.empty(); }) || stop.stop_requested()) return;
            request = std::move(requests_.front());
            requests_.pop_front();
        }
        const std::vector<std::filesystem::path> files = FileIngest::expand(request.paths, request.extensions);
        std::vector<BatchItem> items;
        items.reserve(files.size());
        for (const auto& file : files) {
            if (stop.stop_requested()) return;
            items.emplace_back(Uuid::random(), file);
        }
        deliver_(std::move(items));
    }
}

}  // namespace morvale
