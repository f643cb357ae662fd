#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "batch_core/batch_item.h"
#include "batch_core/batch_preset.h"
#include "batch_core/processing_context.h"
#include "batch_core/uuid.h"

namespace morvale::test {

// A preset as the queue sees it, recording every progress report of every item on its way.
template <class Preset>
class RecordingPreset final : public BatchPreset {
public:
    explicit RecordingPreset(Preset preset) : preset_(std::move(preset)) {}

    std::string id() const override { return preset_.id(); }
    std::string displayName() const override { return preset_.displayName(); }
    std::string verticalName() const override { return preset_.verticalName(); }
    std::string description() const override { return preset_.description(); }
    std::string systemIconName() const override { return preset_.systemIconName(); }
    std::set<std::string> supportedExtensions() const override { return preset_.supportedExtensions(); }
    std::string defaultNamingPattern() const override { return preset_.defaultNamingPattern(); }

    std::vector<std::filesystem::path> process(const BatchItem& item, const ProcessingContext& context) const override {
        ProcessingContext recording(
            context.jobID, context.configuration, context.itemIndex, context.totalItems,
            [this, &context, id = item.id](double fraction, const std::string& message) {
                {
                    std::lock_guard lock(mutex_);
                    progress_[id].emplace_back(fraction, message);
                }
                context.onProgressUpdate(fraction, message);
            },
            context.log, context.ledger, context.stopToken);
        return preset_.process(item, recording);
    }

    std::vector<std::pair<double, std::string>> progressOf(const Uuid& item) const {
        std::lock_guard lock(mutex_);
        auto found = progress_.find(item);
        return found == progress_.end() ? std::vector<std::pair<double, std::string>>{} : found->second;
    }

private:
    Preset preset_;
    mutable std::mutex mutex_;
    mutable std::map<Uuid, std::vector<std::pair<double, std::string>>> progress_;
};

}  // namespace morvale::test
