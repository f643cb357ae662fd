#include "batch_core/batch_item.h"

#include <array>
#include <cmath>
#include <system_error>

#include "base/ascii.h"
#include "batch_core/platform.h"

namespace morvale {

namespace {

std::filesystem::path lastComponent(const std::filesystem::path& path) {
    auto name = path.filename();
    if (name.empty()) name = path.parent_path().filename();  // "folder/" names its folder
    return name;
}

std::string extensionOf(const std::filesystem::path& name) {
    auto extension = name.extension().string();
    if (!extension.empty() && extension.front() == '.') extension.erase(0, 1);
    return extension;
}

std::string stemOf(const std::filesystem::path& name) {
    // "a." has no extension and keeps its dot.
    if (extensionOf(name).empty()) return name.string();
    return name.stem().string();
}

std::int64_t sizeOnDisk(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > static_cast<std::uintmax_t>(INT64_MAX)) return 0;
    return static_cast<std::int64_t>(size);
}

template <typename T>
void combine(std::size_t& seed, const T& value) {
    seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
}

}  // namespace

BatchItem::BatchItem(Uuid itemID, std::filesystem::path source, std::optional<std::filesystem::path> destination,
                     ProcessingStatus initialStatus, double initialProgress, std::optional<std::string> message,
                     std::map<std::string, std::string> values)
    : id(itemID),
      sourceURL(std::move(source)),
      destinationURL(std::move(destination)),
      status(initialStatus),
      progress(initialProgress),
      errorMessage(std::move(message)),
      metadata(std::move(values)) {
    const auto name = lastComponent(sourceURL);
    originalFileName = stemOf(name);
    fileExtension = ascii::lowered(extensionOf(name));
    fileSize = sizeOnDisk(sourceURL);
    queuedAt = std::chrono::system_clock::now();
}

std::string BatchItem::formattedFileSize() const { return formatByteCount(fileSize); }

std::string formatByteCount(std::int64_t bytes) {
    if (bytes == 0) return "Zero KB";
    if (bytes == 1) return "1 byte";
    if (bytes > -1000 && bytes < 1000) return std::to_string(bytes) + " bytes";
    struct Unit {
        const char* name;
        int decimals;
    };
    static const std::array<Unit, 6> units{{{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}, {"EB", 2}}};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (unit + 1 < units.size()) {
        const double scale = std::pow(10.0, units[unit].decimals);
        if (std::fabs(std::round(value * scale) / scale) < 1000.0) break;
        value /= 1000.0;
        ++unit;
    }
    return formatFixed(value, units[unit].decimals) + " " + units[unit].name;
}

}  // namespace morvale

std::size_t std::hash<morvale::BatchItem>::operator()(const morvale::BatchItem& item) const noexcept {
    std::size_t seed = 0;
    morvale::combine(seed, item.id);
    morvale::combine(seed, std::filesystem::hash_value(item.sourceURL));
    morvale::combine(seed, item.originalFileName);
    morvale::combine(seed, item.fileExtension);
    morvale::combine(seed, item.fileSize);
    morvale::combine(seed, item.destinationURL ? std::filesystem::hash_value(*item.destinationURL) : 0u);
    morvale::combine(seed, static_cast<int>(item.status));
    morvale::combine(seed, item.progress);
    morvale::combine(seed, item.errorMessage.value_or(std::string{"\x01none"}));
    for (const auto& [key, value] : item.metadata) {
        morvale::combine(seed, key);
        morvale::combine(seed, value);
    }
    morvale::combine(seed, item.queuedAt.time_since_epoch().count());
    morvale::combine(seed, item.completedAt ? item.completedAt->time_since_epoch().count() : -1);
    return seed;
}
