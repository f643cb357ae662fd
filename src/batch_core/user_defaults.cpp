#include "batch_core/user_defaults.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <sstream>
#include <system_error>

#include "batch_core/platform.h"
#include "batch_core/uuid.h"

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
    auto parsed = nlohmann::json::parse(buffer.str(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

nlohmann::json load(const std::filesystem::path& file) {
    auto loaded = loadObject(file);
    return loaded ? std::move(*loaded) : nlohmann::json::object();
}

// Written and synced before the rename, so that a crash leaves the old file or the new one,
// never an empty or half-written one.
bool writeDurably(const std::filesystem::path& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::size_t written = 0;
    bool ok = true;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    return ok;
}

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
    return update(key, std::move(newValue));
}

bool UserDefaults::setString(const std::string& key, const std::string& newValue) { return setValue(key, newValue); }
bool UserDefaults::setNumber(const std::string& key, double newValue) { return setValue(key, newValue); }
bool UserDefaults::setBoolean(const std::string& key, bool newValue) { return setValue(key, newValue); }
bool UserDefaults::setStringMap(const std::string& key, const std::map<std::string, std::string>& newValue) {
    return setValue(key, nlohmann::json(newValue));
}

bool UserDefaults::removeValue(const std::string& key) { return update(key, std::nullopt); }

bool UserDefaults::update(const std::string& key, std::optional<nlohmann::json> newValue) {
    std::lock_guard lock(mutex_);
    // Start from what is on disk, so that another store on the same file (another window, the
    // bookmark store) keeps the keys it wrote since we loaded.
    if (auto onDisk = loadObject(file_)) values_ = std::move(*onDisk);
    if (newValue) {
        values_[key] = std::move(*newValue);
    } else {
        values_.erase(key);
    }
    return persistLocked();
}

bool UserDefaults::persistLocked() const {
    std::string text;
    try {
        // Invalid UTF-8 in a value is replaced rather than making the whole file unwritable.
        text = values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception&) {
        return false;
    }
    std::error_code error;
    const auto folder = file_.parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, error);
    const auto temporary = folder / ("." + file_.filename().string() + "." + Uuid::random().toString() + ".tmp");
    text.push_back('\n');
    if (!writeDurably(temporary, text)) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    std::filesystem::rename(temporary, file_, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}

}  // namespace morvale
