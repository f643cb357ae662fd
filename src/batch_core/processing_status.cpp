#include "batch_core/processing_status.h"

#include <nlohmann/json.hpp>

namespace morvale {

std::string_view rawValue(ProcessingStatus status) {
    switch (status) {
        case ProcessingStatus::pending: return "Pending";
        case ProcessingStatus::processing: return "Processing";
        case ProcessingStatus::completed: return "Completed";
        case ProcessingStatus::failed: return "Failed";
        case ProcessingStatus::skipped: return "Skipped";
        case ProcessingStatus::cancelled: return "Cancelled";
    }
    return "Pending";
}

std::optional<ProcessingStatus> processingStatusFromRawValue(std::string_view text) {
    for (const auto status : allProcessingStatuses) {
        if (rawValue(status) == text) return status;
    }
    return std::nullopt;
}

bool isTerminal(ProcessingStatus status) {
    return status == ProcessingStatus::completed || status == ProcessingStatus::failed ||
           status == ProcessingStatus::skipped || status == ProcessingStatus::cancelled;
}

void to_json(nlohmann::json& json, ProcessingStatus status) { json = std::string(rawValue(status)); }

void from_json(const nlohmann::json& json, ProcessingStatus& status) {
    const auto text = json.get<std::string>();
    const auto parsed = processingStatusFromRawValue(text);
    if (!parsed) {
        throw nlohmann::json::other_error::create(501, "Unknown processing status '" + text + "'", &json);
    }
    status = *parsed;
}

}  // namespace morvale
