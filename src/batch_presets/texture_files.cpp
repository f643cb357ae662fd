#include "batch_presets/texture_files.h"

#include "base/ascii.h"

namespace morvale {

namespace fs = std::filesystem;

std::string TextureFiles::lowerExtension(const fs::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    return ascii::lowered(ext);
}

std::optional<std::vector<fs::path>> TextureFiles::listFiles(const fs::path& folder) {
    const FolderListing listing = FolderListing::read(folder);
    if (!listing.readable()) return std::nullopt;
    return files(listing.entries());
}

std::vector<fs::path> TextureFiles::files(std::span<const FolderListing::Entry> entries) {
    std::vector<fs::path> files;
    for (const auto& entry : entries) {
        if (!entry.hidden() && entry.regularFile) files.push_back(entry.path);
    }
    return files;
}

}  // namespace morvale
