#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/callbacks.h"

namespace morvale {

// Processors this process may run on (affinity mask and CPU quota), at least 1: a run pinned to
// four cores of an eight-core machine runs four items at once, not eight.
std::int64_t activeProcessorCount();

// "[HH:MM:SS] " in the local time zone.
std::string logTimePrefix(std::chrono::system_clock::time_point when);

// The user's downloads folder (XDG user dirs, then ~/Downloads); none without a home folder.
std::optional<std::filesystem::path> downloadsDirectory();

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config; none without a home folder.
std::optional<std::filesystem::path> configHomeDirectory();

// Writes a fixed-point number with `decimals` digits after the point, never in the process
// locale ("1.50", not "1,50"); non-finite values print as "0" with the same decimals.
std::string formatFixed(double value, int decimals);

// Prints each line to standard output, for the folder watcher's and bookmark store's
// diagnostics when their owner passes no sink of its own.
LogSink standardOutputLog();

}  // namespace morvale
