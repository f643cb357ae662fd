#include "batch_presets/texture_files.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "batch_core/uuid.h"

namespace morvale {

namespace fs = std::filesystem;

std::string TextureFiles::asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string TextureFiles::lowerExtension(const fs::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    return asciiLower(ext);
}

std::optional<std::vector<fs::path>> TextureFiles::listFiles(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec);
    if (ec) return std::nullopt;
    std::vector<fs::path> files;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return std::nullopt;
        const fs::path name = it->path().filename();
        const std::string text = name.string();
        if (text.empty() || text.front() == '.') continue;
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        files.push_back(folder / name);
    }
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().string() < b.filename().string();
    });
    return files;
}

void TextureFiles::writeAtomically(const fs::path& destination, std::string_view bytes) {
    const fs::path folder = destination.parent_path();
    if (!folder.empty()) {
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec) throw fs::filesystem_error("Cannot create folder", folder, ec);
    }
    const fs::path temporary =
        folder / ("." + destination.filename().string() + ".tmp-" + Uuid::random().toString());
    const auto fail = [&](const char* what, const fs::path& path, std::error_code ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw fs::filesystem_error(what, path, ec);
    };
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) fail("Cannot write file", temporary, std::make_error_code(std::errc::io_error));
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) fail("Cannot write file", temporary, std::make_error_code(std::errc::io_error));
    }
    std::error_code ec;
    fs::rename(temporary, destination, ec);
    if (ec) fail("Cannot replace file", destination, ec);
}

}  // namespace morvale
