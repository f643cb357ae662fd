#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "batch_core/batch_preset.h"
#include "batch_core/batch_queue_manager.h"

namespace morvale::test {

// A preset whose processing step is whatever the test hands it.
class FakePreset final : public BatchPreset {
public:
    using Body = std::function<std::vector<std::filesystem::path>(const BatchItem&, const ProcessingContext&)>;

    explicit FakePreset(Body body, std::set<std::string> extensions = {"png"})
        : body_(std::move(body)), extensions_(std::move(extensions)) {}

    std::string id() const override { return "fake.preset"; }
    std::string displayName() const override { return "Fake Preset"; }
    std::string verticalName() const override { return "Testing"; }
    std::string description() const override { return "Does what the test says."; }
    std::string systemIconName() const override { return "testtube"; }
    std::set<std::string> supportedExtensions() const override { return extensions_; }
    std::string defaultNamingPattern() const override { return "{name}"; }
    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        return body_(item, context);
    }

private:
    Body body_;
    std::set<std::string> extensions_;
};

struct StatusCall {
    Uuid jobID;
    Uuid itemID;
    ProcessingStatus status;
    double progress;
    std::optional<std::string> message;
};
struct LogCall {
    std::string line;  // without the time prefix
};
struct OutputCall {
    Uuid itemID;
    std::vector<std::filesystem::path> outputs;
};
using ListenerCall = std::variant<StatusCall, LogCall, OutputCall>;

// Records every listener call of one manager, all kinds in one timeline.
class Recorder {
public:
    explicit Recorder(BatchQueueManager& manager) {
        manager.addStatusListener(BatchQueueManager::StatusListener(
            [this](const Uuid& job, const Uuid& item, ProcessingStatus status, double progress,
                   const std::optional<std::string>& message) {
                push(StatusCall{job, item, status, progress, message});
            }));
        manager.addLogListener([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            rawLines_.push_back(line);
            calls_.push_back(LogCall{line.size() >= 11 ? line.substr(11) : line});
        });
        manager.addOutputListener([this](const Uuid& item, const std::vector<std::filesystem::path>& outputs) {
            push(OutputCall{item, outputs});
        });
    }

    std::vector<ListenerCall> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<std::string> rawLines() const {
        std::lock_guard lock(mutex_);
        return rawLines_;
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        for (const auto& call : calls()) {
            if (const auto* log = std::get_if<LogCall>(&call)) result.push_back(log->line);
        }
        return result;
    }
    std::vector<StatusCall> statuses() const {
        std::vector<StatusCall> result;
        for (const auto& call : calls()) {
            if (const auto* status = std::get_if<StatusCall>(&call)) result.push_back(*status);
        }
        return result;
    }

private:
    void push(ListenerCall call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    mutable std::mutex mutex_;
    std::vector<ListenerCall> calls_;
    std::vector<std::string> rawLines_;
};

}  // namespace morvale::test
