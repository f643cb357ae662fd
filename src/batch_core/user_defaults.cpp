#include "batch_core/user_defaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <sstream>
#include <system_error>

#include "base/atomic_file_writer.h"
#include "batch_core/lossless_json.h"
#include "batch_core/platform.h"

namespace morvale {

namespace {

// A settings file larger than this is not ours to parse.
constexpr std::uintmax_t maxFileBytes = 16u * 1024u * 1024u;

std::optional<nlohmann::json> loadObject(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size > maxFileBytes) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    auto parsed = losslessJSON::parse(buffer.str());
    if (!parsed || !parsed->is_object()) return std::nullopt;
    return parsed;
}

nlohmann::json load(const std::filesystem::path& file) {
    auto loaded = loadObject(file);
    return loaded ? std::move(*loaded) : nlohmann::json::object();
}

// Held for one read-change-write. flock rather than fcntl locks: those belong to the process, so
// two stores of one process would not exclude each other and closing any descriptor of the file
// would drop them. Without a lock file (an unwritable folder) the change goes ahead unlocked; its
// write then fails the same way.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& lockFile)
        : fd_(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)), values_(load(file_)) {}

std::filesystem::path UserDefaults::defaultFilePath(const std::string& product) {
    std::filesystem::path base;
    if (auto config = configHomeDirectory()) {
        base = *config;
    } else {
        std::error_code error;
        base = std::filesystem::temp_directory_path(error);
        if (error) base = "/tmp";
    }
    return base / product / "defaults.json";
}

std::optional<nlohmann::json> UserDefaults::value(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto found = values_.find(key);
    if (found == values_.end()) return std::nullopt;
    return *found;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    const auto found = value(key);
    if (!found || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<double> UserDefaults::number(const std::string& key) const {
    const auto found = value(key);
    if (!found || !found->is_number()) return std::nullopt;
    return found->get<double>();
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const {
    const auto found = value(key);
    if (!found || !found->is_boolean()) return std::nullopt;
    return found->get<bool>();
}

std::optional<std::map<std::string, std::string>> UserDefaults::stringMap(const std::string& key) const {
    const auto found = value(key);
    if (!found || !found->is_object()) return std::nullopt;
    std::map<std::string, std::string> result;
    for (const auto& [entryKey, entryValue] : found->items()) {
        if (!entryValue.is_string()) return std::nullopt;
        result.emplace(entryKey, entryValue.get<std::string>());
    }
    return result;
}

bool UserDefaults::setValue(const std::string& key, nlohmann::json newValue) {
    return modify(key, [&newValue](const std::optional<nlohmann::json>&) { return std::optional(std::move(newValue)); });
}

bool UserDefaults::setString(const std::string& key, const std::string& newValue) { return setValue(key, newValue); }
bool UserDefaults::setNumber(const std::string& key, double newValue) { return setValue(key, newValue); }
bool UserDefaults::setBoolean(const std::string& key, bool newValue) { return setValue(key, newValue); }
bool UserDefaults::setStringMap(const std::string& key, const std::map<std::string, std::string>& newValue) {
    return setValue(key, nlohmann::json(newValue));
}

bool UserDefaults::removeValue(const std::string& key) {
    return modify(key, [](const std::optional<nlohmann::json>&) { return std::optional<nlohmann::json>(); });
}

bool UserDefaults::modify(const std::string& key, const Change& change) {
    std::lock_guard lock(mutex_);
    std::error_code error;
    const auto folder = file_.parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, error);
    const FileLock fileLock(std::filesystem::path(file_) += ".lock");
    // Start from what is on disk, so that another store on the same file (another window, the
    // bookmark store, another instance) keeps the keys it wrote since we loaded.
    auto current = loadObject(file_).value_or(values_);
    const auto found = current.find(key);
    auto changed = change(found == current.end() ? std::nullopt : std::optional<nlohmann::json>(*found));
    if (changed) {
        current[key] = std::move(*changed);
    } else {
        current.erase(key);
    }
    values_ = std::move(current);
    return persistLocked();
}

bool UserDefaults::persistLocked() const {
    try {
        // The settings may name the user's files: a new file is private, and the writer keeps
        // the mode of the file it replaces.
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
        AtomicFileWriter::writeFile(file_, losslessJSON::dump(values_) + "\n");
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace morvale
