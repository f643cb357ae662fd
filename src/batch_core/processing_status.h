#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace morvale {

enum class ProcessingStatus { pending, processing, completed, failed, skipped, cancelled };

// Every case, in declaration order.
inline constexpr std::array<ProcessingStatus, 6> allProcessingStatuses{
    ProcessingStatus::pending, ProcessingStatus::processing, ProcessingStatus::completed,
    ProcessingStatus::failed,  ProcessingStatus::skipped,    ProcessingStatus::cancelled};

// "Pending", "Processing", "Completed", "Failed", "Skipped", "Cancelled".
std::string_view rawValue(ProcessingStatus status);

// Exact, case-sensitive match of one of the six raw texts.
std::optional<ProcessingStatus> processingStatusFromRawValue(std::string_view text);

// Completed, failed, skipped and cancelled are final.
bool isTerminal(ProcessingStatus status);

// Encoded as its raw text; decoding an unknown text throws nlohmann::json::other_error.
void to_json(nlohmann::json& json, ProcessingStatus status);
void from_json(const nlohmann::json& json, ProcessingStatus& status);

}  // namespace morvale
