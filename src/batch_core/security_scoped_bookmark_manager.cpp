#include "batch_core/security_scoped_bookmark_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/hex.h"
#include "batch_core/platform.h"
#include "batch_core/user_defaults.h"

namespace morvale {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maxHandleBytes = 128;  // MAX_HANDLE_SZ

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool isFolder = false;
    int handleType = 0;
    std::string handle;  // empty where the file system gives none
};

// What the file at `path` is now (following a symlink, as opening it would); errno on failure.
std::optional<FileIdentity> identify(const fs::path& path, int& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = errno;
        return std::nullopt;
    }
    FileIdentity identity;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.isFolder = S_ISDIR(info.st_mode);
    alignas(file_handle) unsigned char storage[sizeof(file_handle) + maxHandleBytes];
    auto* handle = reinterpret_cast<file_handle*>(storage);
    handle->handle_bytes = maxHandleBytes;
    int mountID = 0;
    if (::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mountID, AT_SYMLINK_FOLLOW) == 0) {
        identity.handleType = handle->handle_type;
        identity.handle.assign(reinterpret_cast<const char*>(storage + sizeof(file_handle)), handle->handle_bytes);
    }
    return identity;
}

// The same file, not merely one at the same place: the handle tells a renamed file from a new one
// that was given the freed inode number.
bool sameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.isFolder == b.isFolder && a.handleType == b.handleType &&
           a.handle == b.handle;
}

struct Bookmark {
    fs::path path;
    FileIdentity identity;
};

nlohmann::json encode(const Bookmark& bookmark) {
    nlohmann::json record{{"path", bookmark.path.native()},
                          {"device", bookmark.identity.device},
                          {"inode", bookmark.identity.inode},
                          {"type", bookmark.identity.isFolder ? "folder" : "file"}};
    if (!bookmark.identity.handle.empty()) {
        record["handleType"] = bookmark.identity.handleType;
        record["handle"] = hexEncoded(bookmark.identity.handle);
    }
    return record;
}

std::optional<std::string> hexDecoded(std::string_view text) {
    if (text.size() % 2 != 0 || text.size() > 2 * maxHandleBytes) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigitValue(text[i]);
        const int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>((high << 4) | low);
    }
    return bytes;
}

std::optional<Bookmark> decode(const nlohmann::json& record) {
    if (!record.is_object()) return std::nullopt;
    const auto path = record.find("path");
    const auto device = record.find("device");
    const auto inode = record.find("inode");
    const auto type = record.find("type");
    if (path == record.end() || !path->is_string() || path->get_ref<const std::string&>().empty() ||
        device == record.end() || !device->is_number_unsigned() || inode == record.end() ||
        !inode->is_number_unsigned() || type == record.end() || !type->is_string()) {
        return std::nullopt;
    }
    Bookmark bookmark;
    bookmark.path = path->get<std::string>();
    bookmark.identity.device = device->get<std::uint64_t>();
    bookmark.identity.inode = inode->get<std::uint64_t>();
    const auto& kind = type->get_ref<const std::string&>();
    if (kind != "file" && kind != "folder") return std::nullopt;
    bookmark.identity.isFolder = kind == "folder";
    const auto handle = record.find("handle");
    if (handle != record.end()) {
        const auto handleType = record.find("handleType");
        if (!handle->is_string() || handleType == record.end() || !handleType->is_number_integer()) return std::nullopt;
        auto bytes = hexDecoded(handle->get_ref<const std::string&>());
        if (!bytes) return std::nullopt;
        bookmark.identity.handle = std::move(*bytes);
        bookmark.identity.handleType = handleType->get<int>();
    }
    return bookmark;
}

// "/a/./b/", "/a/b" and "/a/c/../b" name one entry.
fs::path normalKey(const fs::path& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) absolute = path;
    absolute = absolute.lexically_normal();
    if (absolute.has_relative_path() && !absolute.has_filename()) absolute = absolute.parent_path();
    return absolute;
}

// The file renamed within its old folder, found by one listing.
std::optional<fs::path> findRenamed(const Bookmark& bookmark) {
    const fs::path folder = bookmark.path.parent_path();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return std::nullopt;
    std::optional<fs::path> found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || entry->d_ino != bookmark.identity.inode) continue;
        int error = 0;
        const auto candidate = folder / name;
        const auto identity = identify(candidate, error);
        if (identity && sameFile(*identity, bookmark.identity)) {
            found = candidate;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

}  // namespace

BookmarkError::BookmarkError(const fs::path& path, const std::string& reason)
    : std::runtime_error("Cannot create a bookmark for " + path.string() + ": " + reason) {}

SecurityScopedBookmarkManager::SecurityScopedBookmarkManager(UserDefaults& defaults, LogSink diagnostics)
    : defaults_(defaults), log_(diagnostics ? std::move(diagnostics) : standardOutputLog()) {}

void SecurityScopedBookmarkManager::saveBookmark(const fs::path& path) {
    const fs::path key = normalKey(path);
    int error = 0;
    const auto identity = identify(key, error);
    if (!identity) throw BookmarkError(key, std::system_category().message(error));
    const auto record = encode({key, *identity});
    const bool written = defaults_.modify(userDefaultsKey, [&](std::optional<nlohmann::json> current) {
        // Only this entry changes; entries this build cannot read stay as they are.
        nlohmann::json map = current && current->is_object() ? std::move(*current) : nlohmann::json::object();
        map[key.native()] = record;
        return std::optional(std::move(map));
    });
    if (!written) throw BookmarkError(key, "the settings file cannot be written");
}

std::optional<fs::path> SecurityScopedBookmarkManager::resolveBookmark(const fs::path& path) {
    const fs::path key = normalKey(path);
    const auto map = defaults_.value(userDefaultsKey);
    if (!map || !map->is_object()) return std::nullopt;
    const auto entry = map->find(key.native());
    if (entry == map->end()) return std::nullopt;
    const auto bookmark = decode(*entry);
    if (!bookmark) {
        log_("Failed to resolve security-scoped bookmark: the bookmark data for " + key.string() + " is damaged");
        return std::nullopt;
    }

    std::optional<fs::path> resolved;
    bool stale = true;
    int error = 0;
    const auto atPath = identify(bookmark->path, error);
    if (atPath && sameFile(*atPath, bookmark->identity)) {
        resolved = bookmark->path;
        stale = false;
    } else if (auto renamed = findRenamed(*bookmark)) {
        resolved = std::move(renamed);
    } else if (atPath && atPath->isFolder == bookmark->identity.isFolder) {
        resolved = bookmark->path;  // replaced by a save that wrote a new file and renamed it over
    } else {
        log_("Failed to resolve security-scoped bookmark: " + bookmark->path.string() + ": " +
             std::system_category().message(atPath ? ENOENT : error));
        return std::nullopt;
    }

    if (stale) {
        const fs::path newKey = normalKey(*resolved);
        if (const auto identity = identify(newKey, error)) {
            const auto record = encode({newKey, *identity});
            // A failed re-save leaves the old entry, which still resolves the same way.
            defaults_.modify(userDefaultsKey, [&](std::optional<nlohmann::json> current) {
                nlohmann::json updated = current && current->is_object() ? std::move(*current) : nlohmann::json::object();
                updated.erase(key.native());
                updated[newKey.native()] = record;
                return std::optional(std::move(updated));
            });
        }
    }

    struct stat info {};
    const bool isFolder = ::stat(resolved->c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    if (::access(resolved->c_str(), isFolder ? (R_OK | X_OK) : R_OK) != 0) return std::nullopt;
    return resolved;
}

void SecurityScopedBookmarkManager::stopAccessing(const fs::path&) {}

}  // namespace morvale
