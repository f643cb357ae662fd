#pragma once

#include <optional>
#include <string>
#include <string_view>

// Name matching shared by the texture tools (internal to the image engine). Letter case is folded
// for ASCII letters only (base/ascii.h); the suffixes themselves are all ASCII.
namespace morvale::texture_map_names {

// base without the suffix when base ends with it (ignoring case) and something is left before it.
std::optional<std::string> stemBefore(const std::string& base, std::string_view suffix);

}  // namespace morvale::texture_map_names
