#include "batch_presets/texture_files.h"

#include "base/ascii.h"

#include <algorithm>
#include <system_error>

namespace morvale {

namespace fs = std::filesystem;

std::string TextureFiles::lowerExtension(const fs::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    return ascii::lowered(ext);
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

}  // namespace morvale
