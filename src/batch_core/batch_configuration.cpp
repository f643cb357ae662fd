#include "batch_core/batch_configuration.h"

#include <algorithm>

#include "batch_core/file_url.h"
#include "batch_core/platform.h"

namespace morvale {

namespace {

std::int64_t clampConcurrency(std::int64_t requested) {
    return std::max<std::int64_t>(1, std::min<std::int64_t>(requested, 2 * activeProcessorCount()));
}

}  // namespace

BatchConfiguration::BatchConfiguration(std::filesystem::path output, bool subfolders, std::string pattern,
                                       bool overwrite, std::int64_t concurrency, bool deleteSources, bool notify,
                                       std::map<std::string, std::string> custom)
    : outputDirectory(std::move(output)),
      createSubfolders(subfolders),
      namingPattern(std::move(pattern)),
      overwriteExisting(overwrite),
      maxConcurrentTasks(clampConcurrency(concurrency)),
      deleteSourceAfterSuccess(deleteSources),
      notifyOnCompletion(notify),
      customSettings(std::move(custom)) {}

BatchConfiguration BatchConfiguration::defaultConfiguration() {
    std::filesystem::path base;
    if (auto downloads = downloadsDirectory()) {
        base = *downloads;
    } else {
        std::error_code error;
        base = std::filesystem::temp_directory_path(error);
        if (error) base = "/tmp";
    }
    return BatchConfiguration(base / "BatchOutput", true, "{name}_{index:02}", false, activeProcessorCount(), false,
                              true, {});
}

nlohmann::json BatchConfiguration::toJson() const {
    return nlohmann::json{{"outputDirectory", fileUrlString(outputDirectory)},
                          {"createSubfolders", createSubfolders},
                          {"namingPattern", namingPattern},
                          {"overwriteExisting", overwriteExisting},
                          {"maxConcurrentTasks", maxConcurrentTasks},
                          {"deleteSourceAfterSuccess", deleteSourceAfterSuccess},
                          {"notifyOnCompletion", notifyOnCompletion},
                          {"customSettings", customSettings}};
}

BatchConfiguration BatchConfiguration::fromJson(const nlohmann::json& json) {
    const auto urlText = json.at("outputDirectory").get<std::string>();
    const auto directory = pathFromFileUrl(urlText);
    if (!directory) {
        throw nlohmann::json::other_error::create(502, "Invalid output folder URL '" + urlText + "'", &json);
    }
    // Decoding keeps the stored concurrency as it is, like assigning the field.
    BatchConfiguration configuration(*directory, json.at("createSubfolders").get<bool>(),
                                     json.at("namingPattern").get<std::string>(),
                                     json.at("overwriteExisting").get<bool>(), 1,
                                     json.at("deleteSourceAfterSuccess").get<bool>(),
                                     json.at("notifyOnCompletion").get<bool>(),
                                     json.at("customSettings").get<std::map<std::string, std::string>>());
    configuration.maxConcurrentTasks = json.at("maxConcurrentTasks").get<std::int64_t>();
    return configuration;
}

}  // namespace morvale
