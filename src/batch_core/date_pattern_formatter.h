#pragma once

#include <chrono>
#include <string>

namespace morvale {

// Writes an instant with a date-format pattern such as "yyyyMMdd" or "HH:mm" (Unicode date
// pattern syntax) in the default locale and time zone. An unusable pattern gives "".
std::string formatDatePattern(const std::string& pattern, std::chrono::system_clock::time_point when);

// The same in a given locale ("en-US", "de_DE") and time-zone identifier ("UTC", "Europe/Berlin").
std::string formatDatePattern(const std::string& pattern, std::chrono::system_clock::time_point when,
                              const std::string& locale, const std::string& timeZone);

}  // namespace morvale
