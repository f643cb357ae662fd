#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace morvale {

// The names AtomicFileWriter gives its temporary files, and the sweep that removes those a killed
// writer left behind.
//
// A name is ".mx-<pid>-<start time>-<16 hex digits>" followed by the destination's extension, the
// writer's process told apart from a later one with the same id (ProcessIdentity). Such a file is
// abandoned once that process is gone; while it lives (this process, or another instance of the
// program) it is kept. Older builds named temporaries ".mx-<16 hex digits>" with no owner: those
// are taken as abandoned only when unchanged for a day, longer than any single write takes.
//
// Stateless; safe from any thread.
class TemporaryFileName {
public:
    // A fresh name for a temporary of `destination`, owned by the calling process. Short whatever
    // the destination's length; the extension stays last (dropped when longer than 16 bytes).
    static std::string make(const std::filesystem::path& destination);

    enum class Owner {
        notOurs,  // not a name make() gives (nor an older build's)
        alive,
        gone,
        unknown,  // an older build's name, without owner
    };
    static Owner ownerOf(std::string_view fileName);

    struct Limits {
        int depth = 3;                      // levels of subfolders below the root that are looked into
        std::size_t entries = 20000;        // directory entries read in all, then the sweep stops
        std::chrono::hours ownerlessAge{24};  // age after which an ownerless temporary counts as abandoned
    };
    struct Removed {
        std::filesystem::path folder;
        std::size_t count = 0;
    };
    // Removes the abandoned temporaries in `root` and its subfolders: only regular files of this
    // user with such names; symbolic links are never followed below the root. Folders are read
    // breadth first, so the root's own files are swept before a bound is reached. Errors leave
    // the file in question (or the rest of a folder) alone. Returns the folders where files were
    // removed, with their counts.
    static std::vector<Removed> removeAbandoned(const std::filesystem::path& root) {
        return removeAbandoned(root, Limits{});
    }
    static std::vector<Removed> removeAbandoned(const std::filesystem::path& root, const Limits& limits);
};

}  // namespace morvale
