#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/process_identity.h"

namespace morvale {

// The names AtomicFileWriter gives its temporary files, and the sweep that removes those a killed
// writer left behind.
//
// A name is ".mx-<pid>-<start time>-<scope: 16 hex digits>-<8 hex digits>" followed by the
// destination's extension: the writer's process told apart from a later one with the same id, and
// where that id is counted (ProcessIdentity). Such a file is abandoned once that process is gone;
// while it lives (this process, or another instance of the program) it is kept. A writer of another
// machine, boot or container counts its ids elsewhere: whether it lives cannot be told from here,
// so its names are taken as ownerless. So are the names of a writer that cannot tell its own scope
// (".mx-<16 hex digits>" and the extension) and those of older builds, which carried no scope
// (".mx-<pid>-<start time>-<16 hex digits>", or none at all, as the former). An ownerless temporary
// is abandoned only when unchanged for a day, longer than any single write takes.
//
// Stateless; safe from any thread.
class TemporaryFileName {
public:
    // A fresh name for a temporary of `destination`, owned by the calling process. Short whatever
    // the destination's length; the extension stays last (dropped when longer than 16 bytes).
    static std::string make(const std::filesystem::path& destination) {
        return make(destination, ProcessIdentity::current());
    }
    // The same for a writer `owner` (tests name other machines' and namespaces' temporaries so).
    static std::string make(const std::filesystem::path& destination, const ProcessIdentity& owner);

    enum class Owner {
        notOurs,  // not a name make() gives (nor an older build's)
        alive,
        gone,
        unknown,  // ownerless, or its owner counted elsewhere
    };
    static Owner ownerOf(std::string_view fileName) { return ownerOf(fileName, ProcessIdentity::currentScope()); }
    // As judged by a process of the scope `here` (ProcessIdentity::currentScope()).
    static Owner ownerOf(std::string_view fileName, std::uint64_t here);

    struct Limits {
        int depth = 3;                      // levels of subfolders below the root that are looked into
        std::size_t entries = 20000;        // directory entries read in all, then the sweep stops
        std::chrono::hours ownerlessAge{24};  // age after which an ownerless temporary counts as abandoned
        // Called with each subfolder's path between the listing that found it and its opening
        // (tests change the tree there).
        std::function<void(const std::filesystem::path&)> beforeOpening;
    };
    struct Removed {
        std::filesystem::path folder;
        std::size_t count = 0;
    };
    // Removes the abandoned temporaries in `root` and its subfolders: only regular files of this
    // user with such names. Nothing outside the root is reached: below it, each folder is opened
    // from its parent's descriptor and symbolic links are never followed. Folders are read
    // breadth first, so the root's own files are swept before a bound is reached. Errors leave
    // the file in question (or the rest of a folder) alone. Returns the folders where files were
    // removed, with their counts.
    static std::vector<Removed> removeAbandoned(const std::filesystem::path& root) {
        return removeAbandoned(root, Limits{});
    }
    static std::vector<Removed> removeAbandoned(const std::filesystem::path& root, const Limits& limits);
};

}  // namespace morvale
