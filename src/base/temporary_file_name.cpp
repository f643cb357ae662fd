#include "base/temporary_file_name.h"

#include "base/process_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>

namespace morvale {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view prefix = ".mx-";
constexpr std::size_t maxExtension = 16;

std::uint64_t randomTag() {
    std::uint64_t tag = 0;
    if (::getrandom(&tag, sizeof tag, 0) != static_cast<ssize_t>(sizeof tag)) {
        // The kernel's pool is always ready after boot; this only guards a failing call. The
        // writer retries on a clash, and the owner's id is in the name anyway.
        tag ^= static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&tag));
        tag ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return tag;
}

// Takes a decimal number of at most `maxDigits` digits followed by `end` off the front.
template <typename Number>
std::optional<Number> takeNumber(std::string_view& text, std::size_t maxDigits, char end) {
    const std::size_t stop = text.find(end);
    if (stop == 0 || stop == std::string_view::npos || stop > maxDigits) return std::nullopt;
    Number value{};
    const auto [last, error] = std::from_chars(text.data(), text.data() + stop, value);
    if (error != std::errc() || last != text.data() + stop) return std::nullopt;
    text.remove_prefix(stop + 1);
    return value;
}

bool takeHexTag(std::string_view& text) {
    if (text.size() < 16) return false;
    for (const char c : text.substr(0, 16)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    text.remove_prefix(16);
    return true;
}

// What make() puts after the tag: nothing, or an extension of at most 16 bytes.
bool isExtension(std::string_view rest) {
    if (rest.empty()) return true;
    return rest.size() <= maxExtension && rest[0] == '.' && rest.find_first_of("./", 1) == std::string_view::npos;
}

}  // namespace

std::string TemporaryFileName::make(const fs::path& destination) {
    std::string extension = destination.extension().string();
    if (extension.size() > maxExtension) extension.clear();
    const ProcessIdentity self = ProcessIdentity::current();
    char name[80];
    std::snprintf(name, sizeof name, ".mx-%d-%llu-%016llx", static_cast<int>(self.pid),
                  static_cast<unsigned long long>(self.startTime), static_cast<unsigned long long>(randomTag()));
    return name + extension;
}

TemporaryFileName::Owner TemporaryFileName::ownerOf(std::string_view name) {
    if (!name.starts_with(prefix)) return Owner::notOurs;
    name.remove_prefix(prefix.size());
    std::string_view legacy = name;
    if (takeHexTag(legacy) && isExtension(legacy)) return Owner::unknown;
    const auto pid = takeNumber<pid_t>(name, 10, '-');
    const auto start = takeNumber<std::uint64_t>(name, 20, '-');
    if (!pid || *pid <= 0 || !start || !takeHexTag(name) || !isExtension(name)) return Owner::notOurs;
    return ProcessIdentity{*pid, *start}.isAlive() ? Owner::alive : Owner::gone;
}

std::vector<TemporaryFileName::Removed> TemporaryFileName::removeAbandoned(const fs::path& root, const Limits& limits) {
    std::vector<Removed> removed;
    const uid_t user = ::geteuid();
    const auto now = std::chrono::system_clock::now();
    std::size_t entriesLeft = limits.entries;
    std::deque<std::pair<fs::path, int>> folders{{root, 0}};
    while (!folders.empty() && entriesLeft > 0) {
        const auto [folder, depth] = std::move(folders.front());
        folders.pop_front();
        // The root is the folder the user chose, a link or not; below it nothing is followed.
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (depth > 0 ? O_NOFOLLOW : 0);
        const int fd = ::open(folder.c_str(), flags);
        if (fd < 0) continue;
        DIR* listing = ::fdopendir(fd);
        if (!listing) {
            ::close(fd);
            continue;
        }
        std::size_t count = 0;
        while (entriesLeft > 0) {
            const dirent* entry = ::readdir(listing);
            if (!entry) break;
            --entriesLeft;
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            const bool maybeFolder = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN;
            const bool maybeFile = entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN;
            const Owner owner = maybeFile ? ownerOf(name) : Owner::notOurs;
            if (owner == Owner::alive || (owner == Owner::notOurs && !(maybeFolder && depth < limits.depth))) continue;
            struct stat info {};
            if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISDIR(info.st_mode)) {
                if (depth < limits.depth) folders.emplace_back(folder / entry->d_name, depth + 1);
                continue;
            }
            if (owner == Owner::notOurs || !S_ISREG(info.st_mode) || info.st_uid != user) continue;
            if (owner == Owner::unknown) {
                const auto changed = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
                if (now - changed < limits.ownerlessAge) continue;
            }
            if (::unlinkat(fd, entry->d_name, 0) == 0) ++count;
        }
        ::closedir(listing);
        if (count > 0) removed.push_back({folder, count});
    }
    return removed;
}

}  // namespace morvale
