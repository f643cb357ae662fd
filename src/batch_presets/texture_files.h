#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// File-system helpers of texture processing.
class TextureFiles {
public:
    TextureFiles() = delete;

    // ASCII letters lowered; other bytes (UTF-8 included) unchanged.
    static std::string asciiLower(std::string_view text);
    // The extension without its dot, lower-cased ("" when there is none).
    static std::string lowerExtension(const std::filesystem::path& file);

    // The folder's non-hidden entries that are (or point to) regular files, as folder / name,
    // sorted by file name (byte order). Nothing when the folder cannot be listed.
    static std::optional<std::vector<std::filesystem::path>> listFiles(
        const std::filesystem::path& folder);
};

}  // namespace morvale
