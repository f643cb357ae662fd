#include "batch_core/processing_context.h"

namespace morvale {

ProcessingContext::ProcessingContext(Uuid job, BatchConfiguration jobConfiguration, std::int64_t index,
                                     std::int64_t total, ProgressCallback progress, LogCallback logLine)
    : jobID(job),
      configuration(std::move(jobConfiguration)),
      itemIndex(index),
      totalItems(total),
      onProgressUpdate(progress ? std::move(progress) : ProgressCallback([](double, const std::string&) {})),
      log(logLine ? std::move(logLine) : LogCallback([](const std::string&) {})) {}

}  // namespace morvale
