#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "batch_core/uuid.h"

namespace morvale {

// The summary of one finished run; made only by the queue manager.
struct ExecutionReport {
    Uuid id;
    std::string presetID;
    std::string presetName;
    std::int64_t totalProcessed = 0;
    std::int64_t successCount = 0;
    std::int64_t failureCount = 0;
    std::int64_t skippedCount = 0;
    std::int64_t bytesProcessed = 0;
    double durationSeconds = 0.0;
    std::chrono::system_clock::time_point timestamp;
    std::vector<std::string> outputFiles;
    std::vector<std::string> errors;

    // Mebibytes (2^20 bytes) per second; 0 unless the duration is above 0.
    double throughputMegabytesPerSec() const;

    // Field names as keys; the timestamp as seconds since 1970 (fractional).
    nlohmann::json toJson() const;
    // Every key is required; throws nlohmann::json::exception otherwise.
    static ExecutionReport fromJson(const nlohmann::json& json);

    friend bool operator==(const ExecutionReport&, const ExecutionReport&) = default;
};

}  // namespace morvale

template <>
struct nlohmann::adl_serializer<morvale::ExecutionReport> {
    static morvale::ExecutionReport from_json(const nlohmann::json& json) {
        return morvale::ExecutionReport::fromJson(json);
    }
    static void to_json(nlohmann::json& json, const morvale::ExecutionReport& report) { json = report.toJson(); }
};
