#include "base/system_limits.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace morvale {

namespace system_limits_detail {

namespace {

constexpr std::string_view blanks = " \t\r\n";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string readSmallFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) return {};
    std::string text(4096, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<int> cpuQuotaFromCpuMax(std::string_view cpuMax) {
    cpuMax = trimmed(cpuMax);
    const auto gap = cpuMax.find_first_of(blanks);
    if (gap == std::string_view::npos) return std::nullopt;
    // "max" and v1's -1 fail here: no quota.
    const auto quota = parseNumber<std::uint64_t>(cpuMax.substr(0, gap));
    const auto period = parseNumber<std::uint64_t>(trimmed(cpuMax.substr(gap)));
    if (!quota || !period || *period == 0 || *quota == 0) return std::nullopt;
    const std::uint64_t cpus = (*quota + *period - 1) / *period;
    return static_cast<int>(std::min<std::uint64_t>(cpus, 1u << 16));
}

std::optional<std::uint64_t> bytesFromMemoryMax(std::string_view memoryMax) {
    const auto bytes = parseNumber<std::uint64_t>(trimmed(memoryMax));
    if (!bytes || *bytes == 0) return std::nullopt;
    return bytes;
}

std::optional<int> cpuQuotaIn(const std::filesystem::path& folder, int version) {
    if (version == 2) return cpuQuotaFromCpuMax(readSmallFile(folder / "cpu.max"));
    // Each v1 file ends in a newline of its own.
    const std::string quota = readSmallFile(folder / "cpu.cfs_quota_us");
    const std::string period = readSmallFile(folder / "cpu.cfs_period_us");
    return cpuQuotaFromCpuMax(std::string(trimmed(quota)) + " " + std::string(trimmed(period)));
}

std::optional<std::uint64_t> memoryLimitIn(const std::filesystem::path& folder, int version) {
    return bytesFromMemoryMax(readSmallFile(folder / (version == 2 ? "memory.max" : "memory.limit_in_bytes")));
}

std::optional<std::filesystem::path> cgroupFolder(std::string_view procSelfCgroup, std::string_view controller,
                                                  const std::filesystem::path& root, int& version) {
    std::optional<std::filesystem::path> unified;
    std::istringstream lines{std::string(procSelfCgroup)};
    std::string line;
    while (std::getline(lines, line)) {
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string_view controllers = std::string_view(line).substr(first + 1, second - first - 1);
        std::string relative = line.substr(second + 1);
        while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
        if (relative.find("..") != std::string::npos) continue;
        if (controllers.empty() && line.compare(0, first, "0") == 0) {
            unified = root / relative;
            continue;
        }
        std::size_t at = 0;
        while (at <= controllers.size()) {
            const auto comma = std::min(controllers.find(',', at), controllers.size());
            if (controllers.substr(at, comma - at) == controller) {
                version = 1;
                return root / std::string(controller) / relative;
            }
            at = comma + 1;
        }
    }
    if (unified) version = 2;
    return unified;
}

}  // namespace system_limits_detail

namespace {


// The cgroup's own limit, then its parents' up to the root: a limit set on a parent binds too.
template <typename T, typename LimitIn>
std::optional<T> tightestCgroupLimit(std::string_view controller, LimitIn limitIn) {
    const std::filesystem::path root = "/sys/fs/cgroup";
    int version = 0;
    auto folder = system_limits_detail::cgroupFolder(system_limits_detail::readSmallFile("/proc/self/cgroup"),
                                                     controller, root, version);
    if (!folder) return std::nullopt;
    const std::filesystem::path top = version == 1 ? root / std::string(controller) : root;
    std::optional<T> tightest;
    for (int depth = 0; depth < 64; ++depth) {
        if (const auto value = limitIn(*folder, version)) tightest = tightest ? std::min(*tightest, *value) : *value;
        if (*folder == top || folder->parent_path() == *folder) break;
        folder = folder->parent_path();
    }
    return tightest;
}

int readAllowedProcessorCount() {
    int count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) count = CPU_COUNT(&set);
    if (count <= 0) {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<int>(online) : 1;
    }
    if (const auto quota = tightestCgroupLimit<int>("cpu", system_limits_detail::cpuQuotaIn)) {
        count = std::min(count, *quota);
    }
    return std::max(1, count);
}

std::uint64_t readMemoryLimitBytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    std::uint64_t bytes = pages > 0 && pageSize > 0
                              ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize)
                              : std::uint64_t{1} << 30;
    if (const auto limit = tightestCgroupLimit<std::uint64_t>("memory", system_limits_detail::memoryLimitIn)) {
        bytes = std::min(bytes, *limit);
    }
    return std::max<std::uint64_t>(bytes, std::uint64_t{1} << 20);
}

}  // namespace

int allowedProcessorCount() {
    static const int count = readAllowedProcessorCount();
    return count;
}

std::uint64_t memoryLimitBytes() {
    static const std::uint64_t bytes = readMemoryLimitBytes();
    return bytes;
}

}  // namespace morvale
