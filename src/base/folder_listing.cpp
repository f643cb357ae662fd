#include "base/folder_listing.h"

#include <algorithm>
#include <system_error>

#include "base/ascii.h"

namespace morvale {

namespace fs = std::filesystem;

FolderListing FolderListing::read(const fs::path& folder) {
    FolderListing listing;
    std::error_code error;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::string name = it->path().filename().string();
        std::error_code typeError;
        const bool regular = it->is_regular_file(typeError) && !typeError;
        listing.entries_.push_back({folder / name, std::move(name), regular});
    }
    if (error) return {};
    listing.readable_ = true;
    std::sort(listing.entries_.begin(), listing.entries_.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    listing.folded_.reserve(listing.entries_.size());
    for (std::size_t i = 0; i < listing.entries_.size(); ++i) {
        listing.folded_.emplace_back(ascii::lowered(listing.entries_[i].name), i);
    }
    std::sort(listing.folded_.begin(), listing.folded_.end());
    return listing;
}

std::span<const FolderListing::Entry> FolderListing::startingWith(std::string_view prefix) const {
    const auto first = std::lower_bound(entries_.begin(), entries_.end(), prefix,
                                        [](const Entry& entry, std::string_view key) { return entry.name < key; });
    auto last = first;
    while (last != entries_.end() && last->name.starts_with(prefix)) ++last;
    return {first, last};
}

std::vector<const FolderListing::Entry*> FolderListing::startingWithIgnoringCase(std::string_view prefix) const {
    const std::string key = ascii::lowered(prefix);
    auto it = std::lower_bound(folded_.begin(), folded_.end(), key,
                               [](const auto& entry, const std::string& text) { return entry.first < text; });
    std::vector<std::size_t> found;
    for (; it != folded_.end() && it->first.starts_with(key); ++it) found.push_back(it->second);
    std::sort(found.begin(), found.end());
    std::vector<const Entry*> entries;
    entries.reserve(found.size());
    for (const std::size_t i : found) entries.push_back(&entries_[i]);
    return entries;
}

}  // namespace morvale
