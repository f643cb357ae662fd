#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace morvale {

// Expands dropped files and folders into the flat list of files a preset can take.
class FileIngest {
public:
    FileIngest() = delete;

    // Folders are walked recursively (hidden entries and symbolic links to folders are not
    // entered); a file is kept when it is a regular file (not a link), its name does not begin
    // with "." and its lower-cased extension is in allowedExtensions. Paths are made absolute and
    // lexically normalised; each appears once; the list is sorted in the file browser's order
    // (case-insensitive, digit runs by value). Never fails and never opens a file: whatever
    // cannot be read is left out.
    static std::vector<std::filesystem::path> expand(const std::vector<std::filesystem::path>& urls,
                                                     const std::set<std::string>& allowedExtensions);
};

}  // namespace morvale
