#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch_core/batch_item.h"

namespace morvale {

// Expands dropped paths into pending items on one worker thread, so walking a large
// folder never stalls the window. Requests are served in the order they were made;
// each result is handed to the delivery function on the worker thread.
class IngestWorker {
public:
    using Delivery = std::function<void(std::vector<BatchItem> items)>;

    explicit IngestWorker(Delivery deliver);
    ~IngestWorker();
    IngestWorker(const IngestWorker&) = delete;
    IngestWorker& operator=(const IngestWorker&) = delete;

    void enqueue(std::vector<std::filesystem::path> paths, std::set<std::string> extensions);
    // Drops requests not yet started and waits for the one in progress.
    void stop();

private:
    struct Request {
        std::vector<std::filesystem::path> paths;
        std::set<std::string> extensions;
    };

    void run(std::stop_token stop);

    Delivery deliver_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Request> requests_;
    std::jthread thread_;
};

}  // namespace morvale
