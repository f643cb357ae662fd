#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace morvale::test {

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

    // Writes `contents` to a file below the folder (parents created) and returns its path.
    std::filesystem::path write(std::string_view relative, std::string_view contents = {}) const;

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);

}  // namespace morvale::test
