#pragma once

#include "base/callbacks.h"

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace morvale {

// A podcast export's private scratch folder, "Skeldon-<UUID>" (mode 0700) under the temporary
// folder, removed with everything in it when the export ends, however it ends.
//
// Its export holds a lock on the file "owner.lock" inside for the folder's whole life, so that a
// folder left by a killed export is told apart from one in use by a running export, of this process
// or of another instance: removeAbandoned() takes the first and never the second. A folder without
// that file as a regular file of this user (made by an older build, caught in the instant between its
// making and its lock, or with something else planted under the name) counts as abandoned only when
// unchanged for a day.
//
// One export owns a folder; removeAbandoned() may run from any thread, at the same time as others.
class ScratchFolder {
public:
    // A temporary folder that cannot be used. what() names it and says what is wrong: "The temporary
    // folder <path> (from TMPDIR) does not exist", "… is not a folder", "… cannot be used: <the system's
    // reason>", "Cannot write in the temporary folder <path>: <the system's reason>". path1() and code()
    // carry the details.
    class Unusable : public std::filesystem::filesystem_error {
    public:
        Unusable(const std::string& message, const std::filesystem::path& folder, std::error_code code);
        const char* what() const noexcept override { return message_.what(); }

    private:
        std::runtime_error message_;
    };

    // The process's temporary folder (TMPDIR, TMP, TEMP or TEMPDIR, else /tmp), absolute even when the
    // variable is not: scratch paths are handed to FFmpeg. Throws Unusable when it is not a folder.
    static std::filesystem::path defaultBase();

    // Makes a new folder under `base` and takes its lock; throws Unusable when it cannot.
    explicit ScratchFolder(const std::filesystem::path& base);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

    // Removes the scratch folders under `base` whose export is gone (only real folders of this user
    // named like ours, at most the first 10000 entries of `base` looked at), logging
    // "Removed scratch folder <path> left by an earlier run" for each. Nothing planted in a folder makes
    // the sweep wait. A folder is removed through the descriptor it was checked by, never following a
    // link, so what takes its name after the check stays.
    static void removeAbandoned(const std::filesystem::path& base, const LogSink& onLog);
    // The same, calling `checked` with each folder found abandoned just before its removal: a seam for
    // tests that change the folder in between.
    static void removeAbandoned(const std::filesystem::path& base, const LogSink& onLog,
                                const std::function<void(const std::filesystem::path&)>& checked);

private:
    std::filesystem::path path_;
    int lock_ = -1;
};

}  // namespace morvale
