#include "av_engine/scratch_folder.h"

#include "base/uuid.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <system_error>

namespace morvale {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view prefix = "Skeldon-";
constexpr const char* lockName = "owner.lock";
// Longer than any export of a folder that never had a lock; temporary folders are often big.
constexpr std::chrono::hours ownerlessAge{24};
constexpr int maxEntries = 10000;
// Far below any descriptor limit, far beyond anything an export makes (it makes no folders).
constexpr int maxDepth = 16;

std::error_code lastError() { return {errno, std::generic_category()}; }

bool isOurName(std::string_view name) {
    return name.starts_with(prefix) && Uuid::fromString(name.substr(prefix.size())).has_value();
}

bool ownerlessLongEnough(const struct stat& folder) {
    const auto changed = std::chrono::system_clock::from_time_t(folder.st_mtim.tv_sec);
    return std::chrono::system_clock::now() - changed >= ownerlessAge;
}

// When the folder open as `folder` (whose status is `info`) belongs to no running export: a
// descriptor to close once it is removed (holding its lock, so that a sweep at the same moment
// leaves it to us), or -2 for a folder without a lock (an older build's, or one with something else
// planted under the lock's name). -1 when in use or in doubt.
int abandonedLock(int folder, const struct stat& info, uid_t user) {
    // Without blocking: a FIFO under the lock's name would wait for a writer that never comes.
    const int lock = ::openat(folder, lockName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (lock < 0 && errno != ENOENT && errno != ELOOP && errno != ENXIO) return -1;
    struct stat lockInfo {};
    if (lock >= 0 && ::fstat(lock, &lockInfo) == 0 && S_ISREG(lockInfo.st_mode) && lockInfo.st_uid == user) {
        // Held by its export while that lives; a killed process's locks go with it.
        if (::flock(lock, LOCK_EX | LOCK_NB) == 0) return lock;
        ::close(lock);
        return -1;
    }
    if (lock >= 0) ::close(lock);
    return ownerlessLongEnough(info) ? -2 : -1;
}

// Empties the folder open as `folder` through descriptors, never following a link; false when something
// in it stays. `depth` bounds how deep a planted tree can take us.
bool emptyFolder(int folder, int depth) {
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!listing) {
        if (copy >= 0) ::close(copy);
        return false;
    }
    bool emptied = true;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        // A link is removed itself, whatever it points to.
        if (::unlinkat(folder, entry->d_name, 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR || depth == 0) {
            emptied = false;
            continue;
        }
        const int inner = ::openat(folder, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const bool innerEmptied = inner >= 0 && emptyFolder(inner, depth - 1);
        if (inner >= 0) ::close(inner);
        if (!innerEmptied || (::unlinkat(folder, entry->d_name, AT_REMOVEDIR) != 0 && errno != ENOENT)) emptied = false;
    }
    ::closedir(listing);
    return emptied;
}

// Removes the entry `name` of `base`, open as `folder` with status `checked`, through that descriptor;
// false when it was not this call that removed it.
bool removeChecked(int base, const char* name, int folder, const struct stat& checked) {
    if (!emptyFolder(folder, maxDepth)) return false;
    // The name may have gone to another folder since the check: only an empty one could go by mistake,
    // and only if it took the name in the instant between this look and the removal.
    struct stat now {};
    if (::fstatat(base, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != checked.st_dev ||
        now.st_ino != checked.st_ino) {
        return false;
    }
    return ::unlinkat(base, name, AT_REMOVEDIR) == 0;
}

}  // namespace

ScratchFolder::Unusable::Unusable(const std::string& message, const fs::path& folder, std::error_code code)
    : fs::filesystem_error(message, folder, code), message_(message) {}

fs::path ScratchFolder::defaultBase() {
    // The variables the standard library reads, in its order.
    fs::path base = "/tmp";
    std::string origin;
    for (const char* variable : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            base = value;
            origin = std::string(" (from ") + variable + ")";
            break;
        }
    }
    const std::string named = "The temporary folder " + base.string() + origin;
    std::error_code ec;
    fs::path absolute = fs::absolute(base, ec);
    if (ec) throw Unusable(named + " cannot be used: " + ec.message(), base, ec);
    struct stat info {};
    if (::stat(absolute.c_str(), &info) != 0) {
        const std::error_code error = lastError();
        if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
            throw Unusable(named + " does not exist", base, error);
        }
        throw Unusable(named + " cannot be used: " + error.message(), base, error);
    }
    if (!S_ISDIR(info.st_mode)) throw Unusable(named + " is not a folder", base, std::make_error_code(std::errc::not_a_directory));
    return absolute;
}

ScratchFolder::ScratchFolder(const fs::path& base) : path_(base / (std::string(prefix) + Uuid::random().toString())) {
    const auto unusable = [&](std::error_code error) {
        return Unusable("Cannot write in the temporary folder " + base.string() + ": " + error.message(), base, error);
    };
    // Only this user may look inside: the scratch files are the user's recording.
    if (::mkdir(path_.c_str(), 0700) != 0) throw unusable(lastError());
    // The lock file takes its name only once locked, so no sweep ever finds it free while we live.
    const fs::path pending = path_ / "owner.lock.new";
    lock_ = ::open(pending.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_ < 0 || ::flock(lock_, LOCK_EX | LOCK_NB) != 0 || ::rename(pending.c_str(), (path_ / lockName).c_str()) != 0) {
        const std::error_code error = lastError();
        if (lock_ >= 0) ::close(lock_);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
        throw unusable(error);
    }
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    if (lock_ >= 0) ::close(lock_);
    lock_ = -1;
}

void ScratchFolder::removeAbandoned(const fs::path& base, const LogSink& onLog) { removeAbandoned(base, onLog, {}); }

void ScratchFolder::removeAbandoned(const fs::path& base, const LogSink& onLog,
                                    const std::function<void(const fs::path&)>& checked) {
    const int baseFd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (baseFd < 0) return;
    DIR* listing = ::fdopendir(baseFd);
    if (!listing) {
        ::close(baseFd);
        return;
    }
    const uid_t user = ::geteuid();
    for (int seen = 0; seen < maxEntries; ++seen) {
        const dirent* entry = ::readdir(listing);
        if (!entry) break;
        if ((entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) || !isOurName(entry->d_name)) continue;
        const int folder = ::openat(baseFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (folder < 0) continue;
        struct stat info {};
        const int lock = ::fstat(folder, &info) == 0 && info.st_uid == user ? abandonedLock(folder, info, user) : -1;
        const fs::path path = base / entry->d_name;
        if (lock != -1 && checked) checked(path);
        // A lock-less folder may have been taken by a sweep running at the same moment.
        const bool removed = lock != -1 && removeChecked(baseFd, entry->d_name, folder, info);
        if (lock >= 0) ::close(lock);
        ::close(folder);
        if (removed && onLog) onLog("Removed scratch folder " + path.string() + " left by an earlier run");
    }
    ::closedir(listing);
}

}  // namespace morvale
