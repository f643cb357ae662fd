#pragma once

#include <filesystem>

namespace morvale {

// A hidden file beside the destination that becomes the destination only on commit(); removed if
// never committed. Creating it makes the destination's parent folders.
class TemporaryOutputFile {
public:
    // Throws std::filesystem::filesystem_error when the parent folder cannot be made.
    explicit TemporaryOutputFile(std::filesystem::path destination);
    ~TemporaryOutputFile();
    TemporaryOutputFile(const TemporaryOutputFile&) = delete;
    TemporaryOutputFile& operator=(const TemporaryOutputFile&) = delete;

    const std::filesystem::path& path() const { return temporary_; }
    // Renames the temporary file onto the destination; throws std::filesystem::filesystem_error.
    void commit();

private:
    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    bool committed_ = false;
};

}  // namespace morvale
