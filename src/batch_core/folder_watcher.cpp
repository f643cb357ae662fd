#include "batch_core/folder_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "batch_core/platform.h"

namespace morvale {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t folderEvents = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool isHidden(std::string_view name) { return !name.empty() && name.front() == '.'; }

// Partial downloads and temporary files become something else when they are done.
bool isReportable(std::string_view name) {
    return !isHidden(name) && !endsWith(name, ".tmp") && !endsWith(name, ".part") && !endsWith(name, ".crdownload");
}

std::string describe(int error) { return std::system_category().message(error); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct Entry {
    std::string name;
    bool isFolder;
};

// One listing of a folder, without following a symlink in its place; errno on failure.
std::optional<std::vector<Entry>> listFolder(const fs::path& path, bool followLink, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        error = errno;
        return std::nullopt;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        error = errno;
        ::close(fd);
        return std::nullopt;
    }
    std::vector<Entry> entries;
    while (true) {
        errno = 0;
        const dirent* item = ::readdir(dir);
        if (item == nullptr) break;
        const std::string_view name = item->d_name;
        if (name == "." || name == "..") continue;
        bool isFolder = item->d_type == DT_DIR;
        if (item->d_type == DT_UNKNOWN) {
            struct stat info {};
            isFolder = ::fstatat(fd, item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
        }
        entries.push_back({std::string(name), isFolder});
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        error = readError;
        return std::nullopt;
    }
    return entries;
}

}  // namespace

// What the handler's calls share with stop(): once closed, a call already posted does nothing.
// Recursive, so that a handler may stop its own watcher.
struct FolderWatcher::Delivery {
    explicit Delivery(ChangeHandler h) : handler(std::move(h)) {}

    void deliver(const std::vector<fs::path>& files) {
        std::lock_guard lock(mutex);
        if (open && handler) handler(files);
    }
    void close() {
        std::lock_guard lock(mutex);
        open = false;
    }

    std::recursive_mutex mutex;
    bool open = true;
    ChangeHandler handler;
};

// One run from start() to stop(): the inotify instance, the folder tree and what is pending in it.
// Built and listed on the caller's thread by begin(), then touched only by the watcher's thread.
class FolderWatcher::Session {
public:
    Session(const FolderWatcher& owner, std::shared_ptr<Delivery> delivery, std::atomic<bool>& running)
        : root_(owner.folder_),
          latency_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(owner.latency_))),
          post_(owner.post_),
          log_(owner.diagnostics_),
          hooks_(owner.hooks_),
          delivery_(std::move(delivery)),
          running_(running),
          inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    bool begin();
    void run(const std::stop_token& stop);
    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
    }

private:
    struct Settling {
        off_t size;
        struct timespec modified;
        Clock::time_point since;
    };

    struct Folder {
        std::string name;  // empty for the root
        Folder* parent = nullptr;
        int wd = -1;
        bool movedIn = false;  // came in whole: what its first listing finds is complete
        std::unordered_set<std::string> known;  // the last successful listing, less what is pending
        std::unordered_map<std::string, std::unique_ptr<Folder>> subfolders;
        std::unordered_set<std::string> held;      // created here, open for writing
        std::unordered_set<std::string> complete;  // closed, moved in or linked since the last check
        std::unordered_map<std::string, Settling> settling;  // found by a listing, size and time not yet steady
    };

    fs::path pathOf(const Folder* folder) const;
    bool isAttached(const Folder* folder) const;  // not inside a folder renamed away and not yet back
    bool addWatch(Folder* folder, const fs::path& path);
    void forget(Folder* folder);
    void removeSubfolder(Folder* parent, const std::string& name);
    Folder* adopt(Folder* parent, const std::string& name, std::unique_ptr<Folder> child);
    void discover(Folder* folder);
    bool baseline();
    void settle(Folder* folder, const fs::path& path, const std::string& name, Clock::time_point now);

    void noteEvent(Folder* folder);
    void handle(const inotify_event& event);
    bool drainEvents();
    void overflowed();
    void check();
    void checkFolder(Folder* folder, std::vector<fs::path>& found, Clock::time_point now);
    bool heldStill(const struct timespec& changed) const;
    void rootGone();

    const fs::path root_;
    const Clock::duration latency_;
    const Post post_;
    const LogSink log_;
    const TestHooks hooks_;
    const std::shared_ptr<Delivery> delivery_;
    std::atomic<bool>& running_;
    const FileDescriptor inotify_;
    const FileDescriptor wake_;

    Folder tree_;
    std::unordered_map<int, Folder*> byWatch_;
    std::size_t watchCount_ = 0;
    bool warnedAboutLimit_ = false;
    bool rootGone_ = false;
    std::unordered_set<Folder*> dirty_;      // to be listed at the next check
    std::unordered_set<Folder*> waiting_;    // listed, with files still settling or a listing to retry
    std::unordered_set<Folder*> unwatched_;  // polled instead
    std::unordered_map<std::uint32_t, std::unique_ptr<Folder>> movedAway_;  // by rename cookie
    std::optional<Clock::time_point> firstEvent_, lastEvent_, recheckAt_, pollAt_;
};

fs::path FolderWatcher::Session::pathOf(const Folder* folder) const {
    std::vector<const std::string*> names;
    for (; folder != nullptr && folder->parent != nullptr; folder = folder->parent) names.push_back(&folder->name);
    fs::path path = root_;
    for (auto it = names.rbegin(); it != names.rend(); ++it) path /= **it;
    return path;
}

bool FolderWatcher::Session::addWatch(Folder* folder, const fs::path& path) {
    int error = ENOSPC;
    int wd = -1;
    if (watchCount_ < hooks_.watchLimit) {
        // Never through a symlink below the root: the tree is what is really inside the folder.
        const std::uint32_t follow = folder == &tree_ ? 0 : IN_DONT_FOLLOW;
        wd = ::inotify_add_watch(inotify_.get(), path.c_str(), folderEvents | follow);
        error = errno;
    }
    if (wd >= 0) {
        if (folder->wd >= 0 && folder->wd != wd) forget(folder);
        folder->wd = wd;
        if (byWatch_.insert_or_assign(wd, folder).second) ++watchCount_;
        unwatched_.erase(folder);
        return true;
    }
    if (error == ENOENT || error == ENOTDIR || error == ELOOP) return false;  // gone, or not a folder now
    if ((error == ENOSPC || error == EMFILE) && !warnedAboutLimit_) {
        warnedAboutLimit_ = true;
        const double seconds = 10 * std::chrono::duration<double>(latency_).count();
        log_("FolderWatcher: Out of inotify watches; polling unwatched folders every " + formatFixed(seconds, 1) + " s");
    }
    unwatched_.insert(folder);
    if (!pollAt_) pollAt_ = Clock::now() + 10 * latency_;
    return true;
}

// Drops the watches of a folder and everything below it, which is about to go.
void FolderWatcher::Session::forget(Folder* folder) {
    std::vector<Folder*> stack{folder};
    while (!stack.empty()) {
        Folder* f = stack.back();
        stack.pop_back();
        for (auto& [name, child] : f->subfolders) stack.push_back(child.get());
        if (f->wd >= 0) {
            const auto found = byWatch_.find(f->wd);
            if (found != byWatch_.end() && found->second == f) {
                ::inotify_rm_watch(inotify_.get(), f->wd);
                byWatch_.erase(found);
                --watchCount_;
            }
            f->wd = -1;
        }
        dirty_.erase(f);
        waiting_.erase(f);
        unwatched_.erase(f);
    }
}

void FolderWatcher::Session::removeSubfolder(Folder* parent, const std::string& name) {
    const auto found = parent->subfolders.find(name);
    if (found == parent->subfolders.end()) return;
    forget(found->second.get());
    parent->subfolders.erase(found);
}

FolderWatcher::Session::Folder* FolderWatcher::Session::adopt(Folder* parent, const std::string& name,
                                                              std::unique_ptr<Folder> child) {
    removeSubfolder(parent, name);
    child->name = name;
    child->parent = parent;
    Folder* raw = child.get();
    parent->subfolders.emplace(name, std::move(child));
    return raw;
}

// A folder new to the tree: watch it first, then list it, since what was made in it before the
// watch sends no event. Its files wait for steady sizes (unless it came in whole); its subfolders
// are discovered the same way.
void FolderWatcher::Session::discover(Folder* start) {
    std::vector<Folder*> stack{start};
    const auto now = Clock::now();
    while (!stack.empty()) {
        Folder* folder = stack.back();
        stack.pop_back();
        const auto path = pathOf(folder);
        if (!addWatch(folder, path)) continue;  // gone again; its parent's listing settles it
        dirty_.insert(folder);
        int error = 0;
        const auto entries = listFolder(path, false, error);
        if (!entries) continue;  // listed again at the check
        for (const auto& entry : *entries) {
            if (entry.isFolder) {
                if (isHidden(entry.name) || folder->subfolders.count(entry.name)) continue;
                auto child = std::make_unique<Folder>();
                child->movedIn = folder->movedIn;
                stack.push_back(adopt(folder, entry.name, std::move(child)));
            } else if (!folder->movedIn && isReportable(entry.name)) {
                settle(folder, path, entry.name, now);
            }
        }
    }
}

// The first listing: everything in the tree now is known and never reported.
bool FolderWatcher::Session::baseline() {
    if (inotify_.get() < 0 || wake_.get() < 0 || !addWatch(&tree_, root_) || tree_.wd < 0) {
        log_("FolderWatcher: Failed to open directory descriptor for " + root_.string());
        return false;
    }
    std::vector<Folder*> stack{&tree_};
    while (!stack.empty()) {
        Folder* folder = stack.back();
        stack.pop_back();
        const auto path = pathOf(folder);
        if (folder != &tree_ && !addWatch(folder, path)) {
            removeSubfolder(folder->parent, folder->name);  // gone while we looked
            continue;
        }
        int error = 0;
        const auto entries = listFolder(path, folder == &tree_, error);
        if (!entries) {
            if (folder != &tree_ && (error == ENOENT || error == ENOTDIR || error == ELOOP)) {
                removeSubfolder(folder->parent, folder->name);
                continue;
            }
            log_("FolderWatcher: Failed to scan " + path.string() + ": " + describe(error));
            return false;
        }
        for (const auto& entry : *entries) {
            folder->known.insert(entry.name);
            if (entry.isFolder && !isHidden(entry.name)) {
                stack.push_back(adopt(folder, entry.name, std::make_unique<Folder>()));
            }
        }
    }
    return true;
}

bool FolderWatcher::Session::begin() { return baseline(); }

void FolderWatcher::Session::settle(Folder* folder, const fs::path& path, const std::string& name,
                                    Clock::time_point now) {
    struct stat info {};
    if (::lstat((path / name).c_str(), &info) != 0) return;
    folder->settling.insert_or_assign(name, Settling{info.st_size, info.st_mtim, now});
}

bool FolderWatcher::Session::isAttached(const Folder* folder) const {
    while (folder->parent != nullptr) folder = folder->parent;
    return folder == &tree_;
}

void FolderWatcher::Session::noteEvent(Folder* folder) {
    dirty_.insert(folder);
    const auto now = Clock::now();
    if (!firstEvent_) firstEvent_ = now;
    lastEvent_ = now;
}

void FolderWatcher::Session::rootGone() {
    if (rootGone_) return;
    rootGone_ = true;
    log_("FolderWatcher: The watched folder was deleted or moved: " + root_.string());
}

void FolderWatcher::Session::overflowed() {
    // Any event may be lost: list everything again, and let files whose close we may have missed
    // settle like files found by a listing.
    std::vector<Folder*> stack{&tree_};
    while (!stack.empty()) {
        Folder* folder = stack.back();
        stack.pop_back();
        for (auto& [name, child] : folder->subfolders) stack.push_back(child.get());
        folder->held.clear();
        noteEvent(folder);
    }
}

void FolderWatcher::Session::handle(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
        overflowed();
        return;
    }
    const auto found = byWatch_.find(event.wd);
    if (found == byWatch_.end()) return;
    Folder* folder = found->second;
    if (folder == &tree_ && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED))) {
        rootGone();
        return;
    }
    if (event.mask & IN_IGNORED) {  // the folder is gone; its parent's event removes the node
        byWatch_.erase(found);
        --watchCount_;
        folder->wd = -1;
        return;
    }
    if (event.len == 0 || (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF))) return;
    if (!isAttached(folder)) return;
    const std::string name = event.name;
    const bool isFolder = event.mask & IN_ISDIR;

    if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
        folder->known.erase(name);
        folder->held.erase(name);
        folder->complete.erase(name);
        folder->settling.erase(name);
        if (isFolder) {
            const auto child = folder->subfolders.find(name);
            if (child != folder->subfolders.end()) {
                if (event.mask & IN_MOVED_FROM) {
                    // Until it is paired with its new name (or dropped at the check), nothing in it is
                    // listed: its path is unknown.
                    std::vector<Folder*> stack{child->second.get()};
                    while (!stack.empty()) {
                        Folder* moved = stack.back();
                        stack.pop_back();
                        for (auto& [childName, grandchild] : moved->subfolders) stack.push_back(grandchild.get());
                        dirty_.erase(moved);
                    }
                    child->second->parent = nullptr;
                    auto& slot = movedAway_[event.cookie];
                    if (slot) forget(slot.get());
                    slot = std::move(child->second);
                    folder->subfolders.erase(child);
                } else {
                    removeSubfolder(folder, name);
                }
            }
        }
        return;
    }
    if (isFolder && (event.mask & (IN_CREATE | IN_MOVED_TO))) {
        if (isHidden(name)) return;
        noteEvent(folder);
        const auto away = movedAway_.find(event.cookie);
        if ((event.mask & IN_MOVED_TO) && event.cookie != 0 && away != movedAway_.end()) {
            // Renamed within the tree: its watches stay and its paths follow. Everything in it has a
            // new path, so it is reported again, complete at once, as if it had been moved in.
            std::vector<Folder*> stack{adopt(folder, name, std::move(away->second))};
            movedAway_.erase(away);
            while (!stack.empty()) {
                Folder* moved = stack.back();
                stack.pop_back();
                for (auto& [childName, child] : moved->subfolders) stack.push_back(child.get());
                moved->known.clear();
                moved->movedIn = true;
                noteEvent(moved);
            }
            folder->complete.insert(name);
            return;
        }
        if (folder->known.count(name)) return;  // listed at start already, or a folder renamed over it
        auto child = std::make_unique<Folder>();
        child->movedIn = (event.mask & IN_MOVED_TO) != 0;
        discover(adopt(folder, name, std::move(child)));
        folder->complete.insert(name);
        return;
    }
    if (!isReportable(name) || folder->known.count(name)) return;  // renamed over, or rewritten, a known file
    if (event.mask & IN_CREATE) {
        struct stat info {};
        if (::lstat((pathOf(folder) / name).c_str(), &info) != 0) return;
        // A new regular file with one link is being written; a hard link or symlink is whole.
        if (S_ISREG(info.st_mode) && info.st_nlink == 1) {
            folder->held.insert(name);
        } else {
            folder->complete.insert(name);
        }
    } else if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
        folder->held.erase(name);
        folder->settling.erase(name);
        folder->complete.insert(name);
    }
    noteEvent(folder);
}

// False when the root went away.
bool FolderWatcher::Session::drainEvents() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (int reads = 0; reads < 64; ++reads) {
        const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n <= 0) break;
        for (std::size_t offset = 0; offset < static_cast<std::size_t>(n);) {
            // The kernel pads each record so that the next one is aligned.
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            handle(*event);
            offset += sizeof(inotify_event) + event->len;
            if (rootGone_) return false;
        }
    }
    return true;
}

bool FolderWatcher::Session::heldStill(const struct timespec& changed) const {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const auto age = std::chrono::seconds(now.tv_sec - changed.tv_sec) + std::chrono::nanoseconds(now.tv_nsec - changed.tv_nsec);
    return age >= latency_;
}

void FolderWatcher::Session::checkFolder(Folder* folder, std::vector<fs::path>& found, Clock::time_point now) {
    const auto path = pathOf(folder);
    int error = 0;
    const auto entries = listFolder(path, folder == &tree_, error);
    if (!entries) {
        // Gone: its parent's events remove it. Anything else is tried again, never taken as empty.
        if (error != ENOENT && error != ENOTDIR && error != ELOOP) dirty_.insert(folder);
        return;
    }
    std::unordered_set<std::string> present;
    present.reserve(entries->size());
    for (const auto& entry : *entries) present.insert(entry.name);
    for (auto it = folder->known.begin(); it != folder->known.end();) {
        it = present.count(*it) ? std::next(it) : folder->known.erase(it);
    }
    std::vector<std::string> vanished;
    for (const auto& [name, child] : folder->subfolders) {
        if (!present.count(name)) vanished.push_back(name);
    }
    for (const auto& name : vanished) removeSubfolder(folder, name);

    bool waiting = false;
    for (const auto& entry : *entries) {
        const std::string& name = entry.name;
        if (folder->known.count(name)) {
            folder->held.erase(name);  // an event of the start, for a file the first listing saw
            folder->settling.erase(name);
            continue;
        }
        if (entry.isFolder) {  // complete at once; what it holds is looked at on its own
            if (!isHidden(name) && !folder->subfolders.count(name)) {
                auto child = std::make_unique<Folder>();
                child->movedIn = folder->movedIn;
                discover(adopt(folder, name, std::move(child)));
            }
            folder->known.insert(name);
            if (isReportable(name)) found.push_back(path / name);
            continue;
        }
        if (!isReportable(name)) {
            folder->known.insert(name);
            continue;
        }
        if (folder->held.count(name)) {
            continue;
        } else if (!folder->complete.count(name) && !folder->movedIn) {
            struct stat info {};
            if (::lstat((path / name).c_str(), &info) != 0) continue;
            // The change time moves with every write and cannot be set back, so a file whose
            // change time is a latency old has held still that long already.
            if (S_ISREG(info.st_mode) && !heldStill(info.st_ctim)) {
                const auto seen = folder->settling.find(name);
                const bool steady = seen != folder->settling.end() && seen->second.size == info.st_size &&
                                    seen->second.modified.tv_sec == info.st_mtim.tv_sec &&
                                    seen->second.modified.tv_nsec == info.st_mtim.tv_nsec;
                if (!steady) {
                    folder->settling.insert_or_assign(name, Settling{info.st_size, info.st_mtim, now});
                    waiting = true;
                    continue;
                }
                if (now - seen->second.since < latency_) {
                    waiting = true;
                    continue;
                }
            }
        }
        folder->known.insert(name);
        folder->settling.erase(name);
        found.push_back(path / name);
    }
    folder->complete.clear();
    folder->movedIn = false;
    for (auto it = folder->held.begin(); it != folder->held.end();) {
        it = present.count(*it) ? std::next(it) : folder->held.erase(it);
    }
    if (waiting) dirty_.insert(folder);
}

void FolderWatcher::Session::check() {
    for (auto& [cookie, away] : movedAway_) forget(away.get());  // moved out of the tree
    movedAway_.clear();
    const auto now = Clock::now();
    std::vector<fs::path> found;
    // Folders discovered while checking are checked in the same pass, so a folder and what came
    // in with it are reported together; folders that must be looked at again wait for the next.
    waiting_.clear();
    while (!dirty_.empty()) {
        Folder* folder = *dirty_.begin();
        dirty_.erase(dirty_.begin());
        checkFolder(folder, found, now);
        if (dirty_.erase(folder)) waiting_.insert(folder);
    }
    dirty_ = std::move(waiting_);
    waiting_.clear();
    firstEvent_.reset();
    lastEvent_.reset();
    recheckAt_ = dirty_.empty() ? std::nullopt : std::optional(now + latency_);
    if (found.empty()) return;
    std::vector<std::pair<std::string, fs::path>> keyed;
    keyed.reserve(found.size());
    for (auto& path : found) keyed.emplace_back(path.filename().native(), std::move(path));
    std::sort(keyed.begin(), keyed.end());
    std::vector<fs::path> files;
    files.reserve(keyed.size());
    for (auto& [name, path] : keyed) files.push_back(std::move(path));
    if (post_) {
        post_([delivery = delivery_, files = std::move(files)] { delivery->deliver(files); });
    } else {
        delivery_->deliver(files);
    }
}

void FolderWatcher::Session::run(const std::stop_token& stop) {
    while (!stop.stop_requested() && !rootGone_) {
        std::optional<Clock::time_point> due;
        const auto earliest = [&due](const std::optional<Clock::time_point>& t) {
            if (t && (!due || *t < *due)) due = t;
        };
        if (lastEvent_) earliest(std::min(*lastEvent_ + latency_, *firstEvent_ + 10 * latency_));
        earliest(recheckAt_);
        earliest(pollAt_);
        int timeout = -1;
        if (due) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<std::int64_t>(wait, 0, 60'000));
        }
        pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) break;
        if (stop.stop_requested() || (fds[1].revents & POLLIN)) break;
        if (fds[0].revents & POLLIN) {
            if (hooks_.beforeRead) hooks_.beforeRead();
            if (!drainEvents()) break;
        }
        const auto now = Clock::now();
        if (pollAt_ && now >= *pollAt_) {
            const std::vector<Folder*> polled(unwatched_.begin(), unwatched_.end());
            for (Folder* folder : polled) {
                if (!isAttached(folder)) continue;
                addWatch(folder, pathOf(folder));
                dirty_.insert(folder);
            }
            pollAt_ = unwatched_.empty() ? std::nullopt : std::optional(now + 10 * latency_);
            check();
        } else if ((lastEvent_ && (now >= *lastEvent_ + latency_ || now >= *firstEvent_ + 10 * latency_)) ||
                   (recheckAt_ && now >= *recheckAt_)) {
            check();
        }
    }
    if (rootGone_) running_ = false;
}

FolderWatcher::FolderWatcher(fs::path folder, double latency, ChangeHandler onChange, Post post, LogSink diagnostics)
    : folder_(std::move(folder)),
      latency_(std::isfinite(latency) && latency > 0 ? latency : 0.1),
      onChange_(std::move(onChange)),
      post_(std::move(post)),
      diagnostics_(diagnostics ? std::move(diagnostics) : standardOutputLog()) {}

FolderWatcher::~FolderWatcher() { stop(); }

void FolderWatcher::setTestHooks(TestHooks hooks) {
    std::lock_guard lock(lifecycle_);
    hooks_ = std::move(hooks);
}

void FolderWatcher::start() {
    std::lock_guard lock(lifecycle_);
    if (running_) return;
    if (thread_.joinable()) thread_.join();  // stopped itself when the folder went away
    session_.reset();
    auto delivery = std::make_shared<Delivery>(onChange_);
    auto session = std::make_unique<Session>(*this, delivery, running_);
    if (!session->begin()) return;
    delivery_ = std::move(delivery);
    session_ = std::move(session);
    running_ = true;
    thread_ = std::jthread([session = session_.get()](const std::stop_token& stop) { session->run(stop); });
}

void FolderWatcher::stop() {
    std::shared_ptr<Delivery> closing;
    {
        std::lock_guard lock(lifecycle_);
        running_ = false;
        if (thread_.joinable()) {
            thread_.request_stop();
            session_->wake();
            thread_.join();
        }
        session_.reset();
        closing = std::move(delivery_);
    }
    // Outside the lock: a handler running now may itself call stop() or start().
    if (closing) closing->close();
}

}  // namespace morvale
