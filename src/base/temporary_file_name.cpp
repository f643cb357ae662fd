#include "base/temporary_file_name.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Takes `digits` lower-case hex digits off the front.
std::optional<std::uint64_t> takeHex(std::string_view& text, std::size_t digits) {
    if (text.size() < digits) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text.substr(0, digits)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
        value = value << 4 | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    text.remove_prefix(digits);
    return value;
}

// What make() puts after the tag: nothing, or an extension of at most 16 bytes.
bool isExtension(std::string_view rest) {
    if (rest.empty()) return true;
    return rest.size() <= maxExtension && rest[0] == '.' && rest.find_first_of("./", 1) == std::string_view::npos;
}

}  // namespace

std::string TemporaryFileName::make(const fs::path& destination, const ProcessIdentity& owner) {
    std::string extension = destination.extension().string();
    if (extension.size() > maxExtension) extension.clear();
    char name[80];
    if (owner.scope == 0) {
        std::snprintf(name, sizeof name, ".mx-%016llx", static_cast<unsigned long long>(randomTag()));
    } else {
        std::snprintf(name, sizeof name, ".mx-%d-%llu-%016llx-%08llx", static_cast<int>(owner.pid),
                      static_cast<unsigned long long>(owner.startTime), static_cast<unsigned long long>(owner.scope),
                      static_cast<unsigned long long>(randomTag() & 0xffffffffu));
    }
    return name + extension;
}

TemporaryFileName::Owner TemporaryFileName::ownerOf(std::string_view name, std::uint64_t here) {
    if (!name.starts_with(prefix)) return Owner::notOurs;
    name.remove_prefix(prefix.size());
    std::string_view ownerless = name;
    if (takeHex(ownerless, 16) && isExtension(ownerless)) return Owner::unknown;
    const auto pid = takeNumber<pid_t>(name, 10, '-');
    const auto start = takeNumber<std::uint64_t>(name, 20, '-');
    if (!pid || *pid <= 0 || !start) return Owner::notOurs;
    const auto scope = takeHex(name, 16);
    if (!scope) return Owner::notOurs;
    // An older build's name: the id without where it counts.
    if (isExtension(name)) return Owner::unknown;
    if (!name.starts_with('-')) return Owner::notOurs;
    name.remove_prefix(1);
    if (!takeHex(name, 8) || !isExtension(name)) return Owner::notOurs;
    if (here == 0 || *scope != here) return Owner::unknown;
    return ProcessIdentity{*pid, *start, *scope}.isAlive(here) ? Owner::alive : Owner::gone;
}

namespace {

// Opens the folder `names` below the root's descriptor one name at a time, never following a link,
// so that a folder swapped for a link on the way leads nowhere. Folders waiting in the queue hold
// only their names, no descriptor, so that a wide tree cannot use up the process's descriptors.
int openBelow(int root, const std::vector<std::string>& names) {
    int folder = ::openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const std::string& name : names) {
        if (folder < 0) break;
        const int next = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(folder);
        folder = next;
    }
    return folder;
}

}  // namespace

std::vector<TemporaryFileName::Removed> TemporaryFileName::removeAbandoned(const fs::path& root, const Limits& limits) {
    std::vector<Removed> removed;
    // The root is the folder the user chose, a link or not; below it nothing is followed.
    const int rootFolder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFolder < 0) return removed;
    const uid_t user = ::geteuid();
    const std::uint64_t here = ProcessIdentity::currentScope();
    const auto now = std::chrono::system_clock::now();
    std::size_t entriesLeft = limits.entries;
    // Names below the root; the depth is their count.
    std::deque<std::vector<std::string>> folders{{}};
    while (!folders.empty() && entriesLeft > 0) {
        const std::vector<std::string> names = std::move(folders.front());
        folders.pop_front();
        const std::size_t depth = names.size();
        fs::path folder = root;
        for (const std::string& name : names) folder /= name;
        if (depth > 0 && limits.beforeOpening) limits.beforeOpening(folder);
        const int fd = openBelow(rootFolder, names);
        if (fd < 0) continue;
        DIR* listing = ::fdopendir(fd);
        if (!listing) {
            ::close(fd);
            continue;
        }
        const bool deeper = depth < static_cast<std::size_t>(std::max(limits.depth, 0));
        std::size_t count = 0;
        while (entriesLeft > 0) {
            const dirent* entry = ::readdir(listing);
            if (!entry) break;
            --entriesLeft;
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            const bool maybeFolder = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN;
            const bool maybeFile = entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN;
            const Owner owner = maybeFile ? ownerOf(name, here) : Owner::notOurs;
            if (owner == Owner::alive || (owner == Owner::notOurs && !(maybeFolder && deeper))) continue;
            struct stat info {};
            if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISDIR(info.st_mode)) {
                if (deeper) {
                    std::vector<std::string> below = names;
                    below.emplace_back(name);
                    folders.push_back(std::move(below));
                }
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
    ::close(rootFolder);
    return removed;
}

}  // namespace morvale
