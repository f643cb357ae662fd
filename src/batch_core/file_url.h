#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace morvale {

// "file://" followed by the absolute path with reserved bytes percent-encoded.
std::string fileUrlString(const std::filesystem::path& path);

// Reads a "file://" URL (or a plain absolute path) back; none for anything else.
std::optional<std::filesystem::path> pathFromFileUrl(std::string_view text);

}  // namespace morvale
