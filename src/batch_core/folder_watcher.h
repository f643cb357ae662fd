#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/callbacks.h"

namespace morvale {

// Watches one folder and reports the files and folders that newly appear anywhere inside it, once
// each and once complete: a file created in place is held until its writer closes it, one moved
// in, hard-linked or symlinked is complete at once, and one found only by a listing (after an
// overflow, in a new or polled folder) once it has not changed for `latency`: its change time is
// that old, or its size and modification time held that long. Names beginning with "." or ending in
// ".tmp", ".part" or ".crdownload" are not reported, nor is anything inside a hidden folder;
// symlinked folders are not followed. What is there at start() is never reported; a file deleted
// and created again is.
//
// Events come from inotify, one watch per folder, read by one thread of the watcher's own. A check
// runs when events have been quiet for `latency`, and at the latest 10 × latency after the first
// event not yet checked, so a steady trickle is still reported; it lists again only the folders
// that had events (all of them after the kernel's event queue overflowed). Each check with news
// posts one call of the change handler with the new paths, sorted by file name in byte order (ties
// by whole path).
//
// Threads: start(), stop() and isRunning() may be called from any thread. The handler runs
// wherever `post` runs what it is given (the shell's queues it onto the GUI thread); without a
// `post` it runs on the watcher's thread, and then it must not call start() or stop(). After stop()
// returns, or the watcher is destroyed, the handler is not called again, not even for a call
// already posted.
//
// Diagnostics go to `diagnostics`, standard output by default: "FolderWatcher: Failed to open
// directory descriptor for <folder>" (the folder cannot be watched; stays stopped), "FolderWatcher:
// Failed to scan <folder>: <reason>" (the first listing failed; stays stopped), "FolderWatcher: Out
// of inotify watches; polling unwatched folders every <seconds> s" (once per start), and
// "FolderWatcher: The watched folder was deleted or moved: <folder>" (then stopped).
class FolderWatcher {
public:
    using ChangeHandler = std::function<void(const std::vector<std::filesystem::path>& newFiles)>;
    using Post = std::function<void(std::function<void()> call)>;

    // For tests: `beforeRead` runs on the watcher's thread before each read of the event queue
    // (holding it lets the queue overflow); `watchLimit` makes watches past that many fail as if
    // the system's limit were reached.
    struct TestHooks {
        std::function<void()> beforeRead;
        std::size_t watchLimit = static_cast<std::size_t>(-1);
    };

    // Does not start watching. A latency that is not a positive number counts as 0.1 s.
    FolderWatcher(std::filesystem::path folder, double latency, ChangeHandler onChange, Post post = {},
                  LogSink diagnostics = {});
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    const std::filesystem::path& watchedFolder() const noexcept { return folder_; }
    double latency() const noexcept { return latency_; }

    // Lists the folder as it is now and starts watching; a call while running does nothing. When
    // the folder cannot be watched or listed, prints why and stays stopped.
    void start();
    // Stops watching and waits for the watcher's thread; a call while stopped does nothing.
    void stop();
    bool isRunning() const noexcept { return running_.load(); }

    void setTestHooks(TestHooks hooks);

    struct Delivery;
    class Session;

private:
    std::filesystem::path folder_;
    double latency_;
    ChangeHandler onChange_;
    Post post_;
    LogSink diagnostics_;
    TestHooks hooks_;

    std::mutex lifecycle_;  // start, stop, the thread and the session
    std::atomic<bool> running_{false};
    std::shared_ptr<Delivery> delivery_;
    std::unique_ptr<Session> session_;
    std::jthread thread_;
};

}  // namespace morvale
