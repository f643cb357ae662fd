#pragma once

#include "base/callbacks.h"

#include <filesystem>
#include <string_view>

namespace morvale {

// A podcast export's private scratch folder, "Skeldon-<UUID>" (mode 0700) under the temporary
// folder, removed with everything in it when the export ends, however it ends.
//
// Its export holds a lock on the file "owner.lock" inside for the folder's whole life, so that a
// folder left by a killed export is told apart from one in use by a running export, of this process
// or of another instance: removeAbandoned() takes the first and never the second. A folder without
// that file (made by an older build, or caught in the instant between its making and its lock)
// counts as abandoned only when unchanged for a day.
//
// One export owns a folder; removeAbandoned() may run from any thread, at the same time as others.
class ScratchFolder {
public:
    // The process's temporary folder, absolute even when TMPDIR is not: scratch paths are handed to
    // FFmpeg. Throws filesystem_error when there is none.
    static std::filesystem::path defaultBase();

    // Makes a new folder under `base` and takes its lock; throws filesystem_error when it cannot.
    explicit ScratchFolder(const std::filesystem::path& base);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

    // Removes the scratch folders under `base` whose export is gone (only real folders of this user
    // named like ours, at most the first 10000 entries of `base` looked at), logging
    // "Removed scratch folder <path> left by an earlier run" for each.
    static void removeAbandoned(const std::filesystem::path& base, const LogSink& onLog);

private:
    std::filesystem::path path_;
    int lock_ = -1;
};

}  // namespace morvale
