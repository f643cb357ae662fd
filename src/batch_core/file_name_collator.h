#pragma once

#include <memory>
#include <string_view>
#include <vector>

namespace morvale {

// The file browser's order for names and paths: case-insensitive, digit runs compared by value
// ("frame2" before "frame10"), locale-neutral. Text is read as UTF-8. Thread-safe.
class FileNameCollator {
public:
    static const FileNameCollator& shared();

    // Negative, zero or positive.
    int compare(std::string_view a, std::string_view b) const;
    // Bytes whose plain lexicographic order is the collation order.
    std::vector<unsigned char> sortKey(std::string_view text) const;

    ~FileNameCollator();
    FileNameCollator(const FileNameCollator&) = delete;
    FileNameCollator& operator=(const FileNameCollator&) = delete;

private:
    FileNameCollator();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace morvale
