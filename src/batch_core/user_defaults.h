#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace morvale {

// Per-user settings kept in one JSON object file. Every change is written at once to a
// temporary file beside it and renamed into place; it is applied to the file as it is on disk
// then, so several stores on one file keep each other's keys. Safe to use from several threads.
// A missing, unreadable or corrupt file reads as empty.
class UserDefaults {
public:
    explicit UserDefaults(std::filesystem::path file);

    // $XDG_CONFIG_HOME/<product>/defaults.json, or ~/.config/<product>/defaults.json.
    static std::filesystem::path defaultFilePath(const std::string& product);

    const std::filesystem::path& filePath() const { return file_; }

    std::optional<nlohmann::json> value(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;
    std::optional<double> number(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    std::optional<std::map<std::string, std::string>> stringMap(const std::string& key) const;

    // Each returns false when the file could not be written (the value is kept in memory).
    bool setValue(const std::string& key, nlohmann::json value);
    bool setString(const std::string& key, const std::string& value);
    bool setNumber(const std::string& key, double value);
    bool setBoolean(const std::string& key, bool value);
    bool setStringMap(const std::string& key, const std::map<std::string, std::string>& value);
    bool removeValue(const std::string& key);

private:
    bool update(const std::string& key, std::optional<nlohmann::json> newValue);
    bool persistLocked() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::json values_;
};

}  // namespace morvale
