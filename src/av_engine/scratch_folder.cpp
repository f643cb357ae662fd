#include "av_engine/scratch_folder.h"

#include "base/uuid.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

std::error_code lastError() { return {errno, std::generic_category()}; }

bool isOurName(std::string_view name) {
    return name.starts_with(prefix) && Uuid::fromString(name.substr(prefix.size())).has_value();
}

// When the folder open as `folder` (whose status is `info`) belongs to no running export: a
// descriptor to close once it is removed (holding its lock, so that a sweep at the same moment
// leaves it to us), or -2 for an older build's folder without a lock. -1 when in use or in doubt.
int abandonedLock(int folder, const struct stat& info) {
    const int lock = ::openat(folder, lockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (lock < 0) {
        if (errno != ENOENT) return -1;
        const auto changed = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
        return std::chrono::system_clock::now() - changed >= ownerlessAge ? -2 : -1;
    }
    // Held by its export while that lives; a killed process's locks go with it.
    if (::flock(lock, LOCK_EX | LOCK_NB) == 0) return lock;
    ::close(lock);
    return -1;
}

}  // namespace

fs::path ScratchFolder::defaultBase() {
    std::error_code ec;
    const fs::path base = fs::absolute(fs::temp_directory_path(ec), ec);
    if (ec) throw fs::filesystem_error("Cannot find the temporary folder", ec);
    return base;
}

ScratchFolder::ScratchFolder(const fs::path& base) : path_(base / (std::string(prefix) + Uuid::random().toString())) {
    // Only this user may look inside: the scratch files are the user's recording.
    if (::mkdir(path_.c_str(), 0700) != 0) throw fs::filesystem_error("Cannot create the temporary folder", path_, lastError());
    // The lock file takes its name only once locked, so no sweep ever finds it free while we live.
    const fs::path pending = path_ / "owner.lock.new";
    lock_ = ::open(pending.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_ < 0 || ::flock(lock_, LOCK_EX | LOCK_NB) != 0 || ::rename(pending.c_str(), (path_ / lockName).c_str()) != 0) {
        const std::error_code error = lastError();
        if (lock_ >= 0) ::close(lock_);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
        throw fs::filesystem_error("Cannot create the temporary folder", path_, error);
    }
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    if (lock_ >= 0) ::close(lock_);
    lock_ = -1;
}

void ScratchFolder::removeAbandoned(const fs::path& base, const LogSink& onLog) {
    const int baseFd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
        const int folder = ::openat(baseFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder < 0) continue;
        struct stat info {};
        const int lock = ::fstat(folder, &info) == 0 && info.st_uid == user ? abandonedLock(folder, info) : -1;
        ::close(folder);
        if (lock == -1) continue;
        const fs::path path = base / entry->d_name;
        std::error_code error;
        const auto removed = fs::remove_all(path, error);
        if (lock >= 0) ::close(lock);
        // A lock-less folder may have been taken by a sweep running at the same moment.
        if (!error && removed > 0 && onLog) onLog("Removed scratch folder " + path.string() + " left by an earlier run");
    }
    ::closedir(listing);
}

}  // namespace morvale
