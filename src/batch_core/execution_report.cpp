#include "batch_core/execution_report.h"

#include <cmath>

namespace morvale {

namespace {

double secondsSince1970(std::chrono::system_clock::time_point when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

std::chrono::system_clock::time_point fromSecondsSince1970(double seconds) {
    // Beyond about ±290 years the clock's nanosecond count would overflow.
    if (!std::isfinite(seconds) || std::fabs(seconds) > 9.0e9) {
        throw std::out_of_range("Report timestamp out of range");
    }
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace

double ExecutionReport::throughputMegabytesPerSec() const {
    if (!(durationSeconds > 0.0)) return 0.0;
    return static_cast<double>(bytesProcessed) / 1048576.0 / durationSeconds;
}

nlohmann::json ExecutionReport::toJson() const {
    return nlohmann::json{{"id", id.toString()},
                          {"presetID", presetID},
                          {"presetName", presetName},
                          {"totalProcessed", totalProcessed},
                          {"successCount", successCount},
                          {"failureCount", failureCount},
                          {"skippedCount", skippedCount},
                          {"bytesProcessed", bytesProcessed},
                          {"durationSeconds", durationSeconds},
                          {"timestamp", secondsSince1970(timestamp)},
                          {"outputFiles", outputFiles},
                          {"errors", errors}};
}

ExecutionReport ExecutionReport::fromJson(const nlohmann::json& json) {
    const auto idText = json.at("id").get<std::string>();
    const auto reportID = Uuid::fromString(idText);
    if (!reportID) throw nlohmann::json::other_error::create(503, "Invalid report id '" + idText + "'", &json);
    ExecutionReport report;
    report.id = *reportID;
    report.presetID = json.at("presetID").get<std::string>();
    report.presetName = json.at("presetName").get<std::string>();
    report.totalProcessed = json.at("totalProcessed").get<std::int64_t>();
    report.successCount = json.at("successCount").get<std::int64_t>();
    report.failureCount = json.at("failureCount").get<std::int64_t>();
    report.skippedCount = json.at("skippedCount").get<std::int64_t>();
    report.bytesProcessed = json.at("bytesProcessed").get<std::int64_t>();
    report.durationSeconds = json.at("durationSeconds").get<double>();
    try {
        report.timestamp = fromSecondsSince1970(json.at("timestamp").get<double>());
    } catch (const std::out_of_range& error) {
        throw nlohmann::json::other_error::create(504, error.what(), &json);
    }
    report.outputFiles = json.at("outputFiles").get<std::vector<std::string>>();
    report.errors = json.at("errors").get<std::vector<std::string>>();
    return report;
}

}  // namespace morvale
