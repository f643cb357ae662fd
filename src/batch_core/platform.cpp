#include "batch_core/platform.h"

#include "base/system_limits.h"

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string_view>
#include <system_error>

namespace morvale {

namespace {

std::optional<std::filesystem::path> homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return std::nullopt;
    return std::filesystem::path(home);
}

// XDG_DOWNLOAD_DIR="$HOME/Downloads" in user-dirs.dirs; quoted, $HOME-relative or absolute.
std::optional<std::filesystem::path> xdgDownloadDir(const std::filesystem::path& home) {
    const auto config = configHomeDirectory();
    if (!config) return std::nullopt;
    std::ifstream in(*config / "user-dirs.dirs");
    if (!in) return std::nullopt;
    std::string line;
    int lines = 0;
    while (std::getline(in, line) && ++lines < 1000) {
        constexpr std::string_view key = "XDG_DOWNLOAD_DIR=";
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) {
            std::string rest = value.substr(5);
            while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
            // "$HOME/" alone means the desktop is disabled, not a downloads folder.
            if (rest.empty()) return std::nullopt;
            return home / rest;
        }
        if (!value.empty() && value.front() == '/') return std::filesystem::path(value);
    }
    return std::nullopt;
}

}  // namespace

std::int64_t activeProcessorCount() { return allowedProcessorCount(); }

std::string logTimePrefix(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return "[00:00:00] ";
    char buffer[16];
    const auto written = std::strftime(buffer, sizeof buffer, "[%H:%M:%S] ", &local);
    return written > 0 ? std::string(buffer, written) : std::string("[00:00:00] ");
}

std::optional<std::filesystem::path> downloadsDirectory() {
    const auto home = homeDirectory();
    if (!home) return std::nullopt;
    if (auto fromXdg = xdgDownloadDir(*home)) return fromXdg;
    return *home / "Downloads";
}

std::optional<std::filesystem::path> configHomeDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg);
    const auto home = homeDirectory();
    if (!home) return std::nullopt;
    return *home / ".config";
}

std::string formatFixed(double value, int decimals) {
    if (!std::isfinite(value)) value = 0.0;
    if (decimals < 0) decimals = 0;
    if (decimals > 17) decimals = 17;
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return "0";
    return std::string(buffer, result.ptr);
}

LogSink standardOutputLog() {
    return [](const std::string& line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
}

}  // namespace morvale
