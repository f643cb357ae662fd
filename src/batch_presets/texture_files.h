#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/folder_listing.h"

namespace morvale {

// File-system helpers of texture processing.
class TextureFiles {
public:
    TextureFiles() = delete;

    // The extension without its dot, lower-cased ("" when there is none).
    static std::string lowerExtension(const std::filesystem::path& file);

    // The folder's non-hidden entries that are (or point to) regular files, as folder / name,
    // sorted by file name (byte order). Nothing when the folder cannot be listed.
    static std::optional<std::vector<std::filesystem::path>> listFiles(
        const std::filesystem::path& folder);
    // The same of entries of a listing already made.
    static std::vector<std::filesystem::path> files(std::span<const FolderListing::Entry> entries);
};

}  // namespace morvale
