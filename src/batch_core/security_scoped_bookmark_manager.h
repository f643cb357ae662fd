#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "base/callbacks.h"

namespace morvale {

class UserDefaults;

// A file or folder that cannot be bookmarked: "Cannot create a bookmark for <path>: <reason>"
// (it cannot be looked at, or the settings file cannot be written).
class BookmarkError : public std::runtime_error {
public:
    BookmarkError(const std::filesystem::path& path, const std::string& reason);
};

// Remembers files and folders the user chose, across launches, and finds them again after a
// rename. Linux has no sandbox and no bookmark service, so a bookmark here is a record of the
// file itself: its path, device, inode, kind (file or folder) and the file system's handle for it
// (name_to_handle_at: kept across a rename, new for a file that merely reuses a freed inode
// number). Access is whatever the file's permissions give: nothing is granted or released.
//
// Stored in the user defaults under "com.kadrel.security_scoped_bookmarks": an object from the
// lexically normal absolute path to the record. Every save and every re-save is one
// UserDefaults::modify of that key, so saves from several threads or instances all stay; an entry
// that cannot be read is left as it is. Safe to use from several threads.
//
// Diagnostics go to `diagnostics`, standard output by default: "Failed to resolve security-scoped
// bookmark: " and the reason.
class SecurityScopedBookmarkManager {
public:
    static constexpr const char* userDefaultsKey = "com.kadrel.security_scoped_bookmarks";

    explicit SecurityScopedBookmarkManager(UserDefaults& defaults, LogSink diagnostics = {});

    // Records `path` (a relative one against the working folder), replacing an earlier bookmark
    // of the same file or folder path. Throws BookmarkError.
    void saveBookmark(const std::filesystem::path& path);

    // The bookmarked file or folder: at its path if it is still there; else the same file renamed
    // within its folder; else whatever now stands at the path (a document saved by replacing it).
    // The last two are stale: the bookmark is saved again under the path found, and the old entry
    // goes. None for a path never saved (silently), for a file that cannot be found (with the
    // diagnostic; the entry stays), or when the file's permissions refuse reading (or, for a
    // folder, listing).
    std::optional<std::filesystem::path> resolveBookmark(const std::filesystem::path& path);

    // Nothing to release without a sandbox; kept so callers pair every resolve with it.
    void stopAccessing(const std::filesystem::path& path);

private:
    UserDefaults& defaults_;
    LogSink log_;
};

}  // namespace morvale
