#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "batch_core/batch_item.h"
#include "batch_core/processing_context.h"

namespace morvale {

// The one seam between the batch queue and a product vertical.
//
// process() is a blocking call made on the queue's worker threads, up to maxConcurrentTasks at
// once on the same preset object, so it must not change the preset (hence const) and must be
// safe to run concurrently. It returns the files it wrote; it throws BatchSkip to mark the item
// skipped and anything else to mark it failed.
class BatchPreset {
public:
    virtual ~BatchPreset() = default;

    virtual std::string id() const = 0;
    virtual std::string displayName() const = 0;
    virtual std::string verticalName() const = 0;
    virtual std::string description() const = 0;
    virtual std::string systemIconName() const = 0;
    // Lower case, without the dot.
    virtual std::set<std::string> supportedExtensions() const = 0;
    virtual std::string defaultNamingPattern() const = 0;

    // By default: the item's extension, lower-cased, is one of supportedExtensions() (compared
    // exactly, so an upper-case entry there matches nothing).
    virtual bool canProcess(const BatchItem& item) const;

    virtual std::vector<std::filesystem::path> process(const BatchItem& item,
                                                       const ProcessingContext& context) const = 0;

protected:
    BatchPreset() = default;
    BatchPreset(const BatchPreset&) = default;
    BatchPreset& operator=(const BatchPreset&) = default;
    BatchPreset(BatchPreset&&) = default;
    BatchPreset& operator=(BatchPreset&&) = default;
};

}  // namespace morvale
