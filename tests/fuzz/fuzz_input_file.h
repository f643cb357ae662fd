#pragma once

// A fuzz input as a file on disk, for readers that take a path: the first byte picks the file's
// extension from a list, the rest is its content. One file per process, rewritten for each input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace morvale::fuzz {

inline std::filesystem::path writeInput(const std::uint8_t* data, std::size_t size,
                                        const std::vector<std::string_view>& extensions) {
    const std::size_t pick = size > 0 ? data[0] % extensions.size() : 0;
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("morvale-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / ("input." + std::string(extensions[pick]));
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size > 1 && std::fwrite(data + 1, 1, size - 1, out) != size - 1) std::abort();
    std::fclose(out);
    return file;
}

}  // namespace morvale::fuzz
