#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace morvale {

// Per-user settings kept in one JSON object file. Every change is written at once through a
// temporary file beside it, renamed into place; it is applied to the file as it is on disk then,
// under an exclusive flock on the sibling "<file>.lock", so several stores on one file, in this
// process or another, keep each other's changes. Safe to use from several threads. Keys and
// strings may hold any bytes: what is not UTF-8 is kept byte for byte (see lossless_json.h).
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

    // Read, change, write of one key as one step: `change` gets the key's value as it is on disk
    // now (none when absent) and returns the new one (none removes the key). Runs under the mutex
    // and the file lock, so no concurrent change is lost; `change` must not call back into this
    // store. An exception from `change` leaves everything as it was and propagates.
    using Change = std::function<std::optional<nlohmann::json>(std::optional<nlohmann::json> current)>;
    bool modify(const std::string& key, const Change& change);

private:
    bool persistLocked() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::json values_;
};

}  // namespace morvale
