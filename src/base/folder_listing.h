#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvale {

// The entries of one folder as they were when it was read, with lookups by the start of a name
// that cost a binary search plus the entries found, however large the folder. Made once, then
// only read: any number of threads may use one listing at once.
class FolderListing {
public:
    struct Entry {
        std::filesystem::path path;  // the folder as given to read(), then the name
        std::string name;            // the last path component
        bool regularFile = false;    // a regular file, or a symbolic link to one

        bool hidden() const { return !name.empty() && name.front() == '.'; }
    };

    // A folder that could not be listed.
    FolderListing() = default;

    // Lists `folder` ("" is the current folder), not recursively, hidden entries included. A folder
    // that cannot be opened, or whose listing breaks off, gives an unreadable listing with no entries.
    static FolderListing read(const std::filesystem::path& folder);

    bool readable() const { return readable_; }
    // Every entry, sorted by name in byte order (for UTF-8 names, code-point order).
    const std::vector<Entry>& entries() const { return entries_; }
    // The entries whose name starts with `prefix`, in entries() order.
    std::span<const Entry> startingWith(std::string_view prefix) const;
    // The same with ASCII letters of the names and the prefix compared ignoring case.
    std::vector<const Entry*> startingWithIgnoringCase(std::string_view prefix) const;

private:
    bool readable_ = false;
    std::vector<Entry> entries_;
    // (lower-cased name, position in entries_), sorted.
    std::vector<std::pair<std::string, std::size_t>> folded_;
};

}  // namespace morvale
