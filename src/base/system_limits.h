#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace morvale {

// What this process may actually use of the machine, as opposed to what the machine has: a process
// pinned with taskset, or in a container with a CPU quota or memory limit, gets less than
// sysconf reports, and sizing thread pools or memory budgets by the machine oversubscribes it.
// Both values are read once and kept; safe from any thread.

// CPUs this process may run on: its affinity mask, lowered to the cgroup's CPU quota (cpu.max,
// rounded up). At least 1.
int allowedProcessorCount();

// Memory this process may use: physical memory, lowered to the cgroup's memory.max when one is
// set. At least 1 MiB.
std::uint64_t memoryLimitBytes();

namespace system_limits_detail {
// Pieces of the above, separate so they can be checked against given files.

// CPUs of a quota, rounded up: cgroup v2's "cpu.max" ("max 100000\n", "150000 100000\n") or v1's
// quota and period, each with whatever white space the files hold around it ("250000\n 100000\n");
// none when unlimited ("max", a v1 quota of -1) or unreadable.
std::optional<int> cpuQuotaFromCpuMax(std::string_view cpuMax);
// Bytes from "memory.max" (v2: "max" or a number) or "memory.limit_in_bytes" (v1); none when
// unlimited or unreadable.
std::optional<std::uint64_t> bytesFromMemoryMax(std::string_view memoryMax);
// The limits set on one cgroup folder, read from its files as the kernel writes them: v2's cpu.max
// and memory.max, v1's cpu.cfs_quota_us with cpu.cfs_period_us and memory.limit_in_bytes.
std::optional<int> cpuQuotaIn(const std::filesystem::path& folder, int version);
std::optional<std::uint64_t> memoryLimitIn(const std::filesystem::path& folder, int version);
// This process's cgroup folder for `controller` ("cpu", "memory") from /proc/self/cgroup under
// `root` (normally /sys/fs/cgroup): the v1 hierarchy that has the controller ("4:memory:/a" gives
// root/memory/a), else the v2 one ("0::/a" gives root/a). `version` is set to 1 or 2.
std::optional<std::filesystem::path> cgroupFolder(std::string_view procSelfCgroup, std::string_view controller,
                                                  const std::filesystem::path& root, int& version);
}  // namespace system_limits_detail

}  // namespace morvale
