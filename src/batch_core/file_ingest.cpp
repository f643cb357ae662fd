#include "batch_core/file_ingest.h"

#include <sys/stat.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "batch_core/file_name_collator.h"

namespace morvale {

namespace {

namespace fs = std::filesystem;

std::string asciiLower(std::string text) {
    for (auto& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool isHiddenName(const fs::path& path) {
    const auto name = path.filename().native();
    return !name.empty() && name.front() == '.';
}

// The entry's own type (links not followed), from what the folder listing already told us
// when it can: one stat per file would double the cost of a large walk.
fs::file_type entryType(const fs::directory_entry& entry) {
    std::error_code error;
    if (entry.is_symlink(error)) return fs::file_type::symlink;
    if (error) return fs::file_type::none;
    if (entry.is_directory(error)) return fs::file_type::directory;
    if (error) return fs::file_type::none;
    if (entry.is_regular_file(error)) return fs::file_type::regular;
    if (error) return fs::file_type::none;
    return fs::file_type::unknown;
}

class Collector {
public:
    explicit Collector(const std::set<std::string>& allowedExtensions) : allowed_(allowedExtensions) {}

    // Checks only names and the file type that was already read: nothing is opened, so a FIFO
    // or a device cannot block the walk.
    void offer(const fs::path& path, fs::file_type type) {
        if (type != fs::file_type::regular) return;
        if (isHiddenName(path)) return;
        auto extension = path.filename().extension().native();
        if (!extension.empty() && extension.front() == '.') extension.erase(0, 1);
        if (allowed_.count(asciiLower(extension)) == 0) return;
        auto standardised = path.lexically_normal();
        if (!taken_.insert(standardised.native()).second) return;
        found_.push_back(std::move(standardised));
    }

    // Depth first, each folder's entry before its contents. Hidden entries are not visited and
    // links to folders are not followed; the (device, inode) pairs seen guard against loops
    // made by bind mounts.
    void walk(const fs::path& root) {
        std::set<std::pair<dev_t, ino_t>> visited;
        std::vector<fs::directory_iterator> stack;
        auto enter = [&](const fs::path& folder) {
            struct stat info {};
            if (::lstat(folder.c_str(), &info) != 0) return;
            if (!visited.emplace(info.st_dev, info.st_ino).second) return;
            std::error_code error;
            fs::directory_iterator iterator(folder, fs::directory_options::skip_permission_denied, error);
            if (!error) stack.push_back(std::move(iterator));
        };
        // The dropped folder itself may be reached through a link; only its insides are not followed.
        {
            struct stat info {};
            if (::stat(root.c_str(), &info) != 0) return;
            visited.emplace(info.st_dev, info.st_ino);
            std::error_code error;
            fs::directory_iterator iterator(root, fs::directory_options::skip_permission_denied, error);
            if (error) return;
            stack.push_back(std::move(iterator));
        }
        while (!stack.empty()) {
            auto& iterator = stack.back();
            if (iterator == fs::directory_iterator()) {
                stack.pop_back();
                continue;
            }
            const fs::directory_entry entry = *iterator;
            std::error_code error;
            iterator.increment(error);
            if (error) iterator = fs::directory_iterator();
            if (isHiddenName(entry.path())) continue;
            const auto type = entryType(entry);
            if (type == fs::file_type::none) continue;
            if (type == fs::file_type::directory) {
                enter(entry.path());
            } else {
                offer(entry.path(), type);
            }
        }
    }

    std::vector<fs::path> sorted() && {
        const auto& collator = FileNameCollator::shared();
        std::vector<std::vector<unsigned char>> keys;
        keys.reserve(found_.size());
        for (const auto& path : found_) keys.push_back(collator.sortKey(path.native()));
        std::vector<std::size_t> order(found_.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&keys](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
        std::vector<fs::path> result;
        result.reserve(found_.size());
        for (const auto position : order) result.push_back(std::move(found_[position]));
        return result;
    }

private:
    const std::set<std::string>& allowed_;
    std::unordered_set<std::string> taken_;
    std::vector<fs::path> found_;
};

}  // namespace

std::vector<fs::path> FileIngest::expand(const std::vector<fs::path>& urls, const std::set<std::string>& allowedExtensions) {
    Collector collector(allowedExtensions);
    for (const auto& url : urls) {
        if (url.empty()) continue;
        std::error_code error;
        const fs::path absolute = url.is_absolute() ? url : fs::absolute(url, error);
        if (error) continue;
        // Following links here, as a drop of a link to a folder means that folder.
        const auto status = fs::status(absolute, error);
        if (error || !fs::exists(status)) continue;
        if (fs::is_directory(status)) {
            collector.walk(absolute);
        } else {
            const auto own = fs::symlink_status(absolute, error);
            if (error) continue;
            collector.offer(absolute, own.type());
        }
    }
    return std::move(collector).sorted();
}

}  // namespace morvale
