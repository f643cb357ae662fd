#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace morvale {

// The settings of one run. Only outputDirectory, namingPattern and maxConcurrentTasks are acted
// on; the other fields are carried along and encoded.
struct BatchConfiguration {
    // maxConcurrentTasks is clamped to 1 ... 2 x activeProcessorCount(); assigning the field
    // later is not clamped.
    BatchConfiguration(std::filesystem::path outputDirectory, bool createSubfolders,
                       std::string namingPattern, bool overwriteExisting,
                       std::int64_t maxConcurrentTasks, bool deleteSourceAfterSuccess,
                       bool notifyOnCompletion, std::map<std::string, std::string> customSettings = {});

    // "BatchOutput" in the user's downloads folder (the temporary folder when there is none),
    // "{name}_{index:02}", one task per active processor, subfolders and notification on.
    static BatchConfiguration defaultConfiguration();

    std::filesystem::path outputDirectory;
    bool createSubfolders = true;
    std::string namingPattern;
    bool overwriteExisting = false;
    std::int64_t maxConcurrentTasks = 1;
    bool deleteSourceAfterSuccess = false;
    bool notifyOnCompletion = true;
    std::map<std::string, std::string> customSettings;

    // One key per field, named as the field; the folder as a "file://" URL.
    nlohmann::json toJson() const;
    // Every key is required; throws nlohmann::json::exception on a missing key or wrong type.
    static BatchConfiguration fromJson(const nlohmann::json& json);

    friend bool operator==(const BatchConfiguration&, const BatchConfiguration&) = default;
};

}  // namespace morvale

// Lets callers write json.get<BatchConfiguration>() and json = configuration.
template <>
struct nlohmann::adl_serializer<morvale::BatchConfiguration> {
    static morvale::BatchConfiguration from_json(const nlohmann::json& json) {
        return morvale::BatchConfiguration::fromJson(json);
    }
    static void to_json(nlohmann::json& json, const morvale::BatchConfiguration& configuration) {
        json = configuration.toJson();
    }
};
