#pragma once

#include <chrono>
#include <map>
#include <string>

namespace morvale {

// A portable snapshot of one preset's settings: which preset, the naming pattern and its options as
// a flat map of texts, stamped with the time of export.
struct ExportablePresetBundle {
    std::string version;
    std::string presetID;
    std::string presetName;
    std::string verticalName;
    std::string defaultNamingPattern;
    std::map<std::string, std::string> configuration;
    std::chrono::system_clock::time_point exportedAt;

    friend bool operator==(const ExportablePresetBundle&, const ExportablePresetBundle&) = default;
};

}  // namespace morvale
