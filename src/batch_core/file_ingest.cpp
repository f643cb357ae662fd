#include "batch_core/file_ingest.h"

#include <sys/stat.h>

#include <algorithm>
#include <numeric>
#include <set>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "base/ascii.h"
#include "batch_core/file_name_collator.h"

namespace morvale {

namespace {

namespace fs = std::filesystem;

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
        if (allowed_.count(ascii::lowered(extension)) == 0) return;
        auto standardised = path.lexically_normal();
        if (!taken_.insert(standardised.native()).second) return;
        found_.push_back(std::move(standardised));
    }

    // Depth first, each folder's entries before going deeper. Hidden entries are not visited and
    // links to folders are not followed; the (device, inode) pairs seen guard against loops
    // made by bind mounts. Each folder's listing is put in byte order of the names first, so
    // that names the final sort finds equal (they differ in case only) keep one order from run
    // to run whatever order the file system lists them in.
    void walk(const fs::path& root) {
        struct Listing {
            std::vector<fs::directory_entry> entries;
            std::size_t next = 0;
        };
        std::set<std::pair<dev_t, ino_t>> visited;
        std::vector<Listing> stack;
        auto enter = [&](const fs::path& folder, bool followLink) {
            struct stat info {};
            if ((followLink ? ::stat(folder.c_str(), &info) : ::lstat(folder.c_str(), &info)) != 0) return;
            if (!visited.emplace(info.st_dev, info.st_ino).second) return;
            std::error_code error;
            fs::directory_iterator iterator(folder, fs::directory_options::skip_permission_denied, error);
            if (error) return;
            Listing listing;
            for (; !error && iterator != fs::directory_iterator(); iterator.increment(error)) {
                if (!isHiddenName(iterator->path())) listing.entries.push_back(*iterator);
            }
            std::sort(listing.entries.begin(), listing.entries.end(),
                      [](const fs::directory_entry& a, const fs::directory_entry& b) {
                          return a.path().filename().native() < b.path().filename().native();
                      });
            stack.push_back(std::move(listing));
        };
        // The dropped folder itself may be reached through a link; only its insides are not followed.
        enter(root, true);
        while (!stack.empty()) {
            auto& listing = stack.back();
            if (listing.next == listing.entries.size()) {
                stack.pop_back();
                continue;
            }
            const fs::directory_entry entry = std::move(listing.entries[listing.next++]);
            const auto type = entryType(entry);
            if (type == fs::file_type::directory) {
                enter(entry.path(), false);  // may grow the stack: `listing` is not used after this
            } else if (type != fs::file_type::none) {
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
