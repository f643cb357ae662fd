#pragma once

#include <string>

namespace morvale {

// printf-style formatting with the C locale's numbers ("-16.5", never "-16,5"), whatever locale the
// process runs in: the shell's toolkit sets the user's locale for the whole process at start-up.
// Thread-safe; any length.
std::string cformat(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace morvale
