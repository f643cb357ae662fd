#include "batch_core/processing_context.h"

namespace morvale {

ProcessingContext::ProcessingContext(Uuid job, BatchConfiguration jobConfiguration, std::int64_t index,
                                     std::int64_t total, ProgressCallback progress, LogCallback logLine,
                                     std::shared_ptr<RunLedger> runLedger, std::stop_token stop)
    : jobID(job),
      configuration(std::move(jobConfiguration)),
      itemIndex(index),
      totalItems(total),
      onProgressUpdate(progress ? std::move(progress) : ProgressCallback([](double, const std::string&) {})),
      log(logLine ? std::move(logLine) : LogCallback([](const std::string&) {})),
      ledger(runLedger ? std::move(runLedger) : std::make_shared<RunLedger>()),
      stopToken(std::move(stop)) {}

}  // namespace morvale
