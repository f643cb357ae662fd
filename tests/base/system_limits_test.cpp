#include "base/system_limits.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace morvale {
namespace {

using namespace system_limits_detail;

// The files as the kernel writes them, each ending in a newline, in a made-up cgroup folder.
TEST(SystemLimitsTest, CgroupFilesParse) {
    using Files = std::vector<std::pair<const char*, const char*>>;
    struct CpuCase {
        int version;
        Files files;
        std::optional<int> cpus;
    };
    for (const CpuCase& c : {CpuCase{2, {{"cpu.max", "max 100000\n"}}, std::nullopt},
                             CpuCase{2, {{"cpu.max", "400000 100000\n"}}, 4},
                             CpuCase{2, {{"cpu.max", "150000 100000\n"}}, 2},
                             CpuCase{2, {{"cpu.max", "50000 100000\n"}}, 1},
                             CpuCase{2, {{"cpu.max", "12 0\n"}}, std::nullopt},
                             CpuCase{2, {{"cpu.max", ""}}, std::nullopt},
                             CpuCase{2, {}, std::nullopt},
                             CpuCase{1, {{"cpu.cfs_quota_us", "250000\n"}, {"cpu.cfs_period_us", "100000\n"}}, 3},
                             CpuCase{1, {{"cpu.cfs_quota_us", "50000\n"}, {"cpu.cfs_period_us", "100000\n"}}, 1},
                             CpuCase{1, {{"cpu.cfs_quota_us", "-1\n"}, {"cpu.cfs_period_us", "100000\n"}}, std::nullopt},
                             CpuCase{1, {{"cpu.cfs_period_us", "100000\n"}}, std::nullopt}}) {
        test::TempDir folder;
        std::string shown = "v" + std::to_string(c.version);
        for (const auto& [name, text] : c.files) {
            folder.write(name, text);
            shown += std::string(" ") + name + "=" + text;
        }
        EXPECT_EQ(cpuQuotaIn(folder.path(), c.version), c.cpus) << shown;
    }
    struct MemoryCase {
        int version;
        const char* text;
        std::optional<std::uint64_t> bytes;
    };
    for (const MemoryCase& c : {MemoryCase{2, "max\n", std::nullopt}, MemoryCase{2, "4294967296\n", 4294967296u},
                                MemoryCase{2, "12x\n", std::nullopt}, MemoryCase{1, "536870912\n", 536870912u},
                                // v1 writes "no limit" as a huge number; the physical memory is lower.
                                MemoryCase{1, "9223372036854771712\n", 9223372036854771712u}}) {
        test::TempDir folder;
        folder.write(c.version == 2 ? "memory.max" : "memory.limit_in_bytes", c.text);
        EXPECT_EQ(memoryLimitIn(folder.path(), c.version), c.bytes) << c.version << " " << c.text;
    }

    const char* hybrid = "9:name=systemd:/\n4:memory:/jobs/a\n2:cpu,cpuacct:/jobs/b\n0::/jobs/c\n";
    struct FolderCase {
        const char* text;
        const char* controller;
        std::optional<std::filesystem::path> folder;
        int version;
    };
    for (const FolderCase& c : {FolderCase{hybrid, "memory", "/cg/memory/jobs/a", 1},
                                FolderCase{hybrid, "cpu", "/cg/cpu/jobs/b", 1},
                                FolderCase{"0::/user.slice/app\n", "cpu", "/cg/user.slice/app", 2},
                                FolderCase{"0::/\n", "memory", "/cg/", 2},
                                FolderCase{"0::/../escape\n", "memory", std::nullopt, 0}}) {
        int version = 0;
        EXPECT_EQ(cgroupFolder(c.text, c.controller, "/cg", version), c.folder) << c.text << c.controller;
        EXPECT_EQ(version, c.version) << c.text << c.controller;
    }
}

// A pinned process must not size its pools by the machine: the first call happens in a child whose
// affinity is one CPU.
TEST(SystemLimitsTest, AffinityLimitsProcessorCount) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (::sched_getaffinity(0, sizeof(set), &set) != 0) ::_exit(90);
        int first = 0;
        while (first < CPU_SETSIZE && !CPU_ISSET(first, &set)) ++first;
        CPU_ZERO(&set);
        CPU_SET(first, &set);
        if (::sched_setaffinity(0, sizeof(set), &set) != 0) ::_exit(91);
        ::_exit(allowedProcessorCount());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_GE(memoryLimitBytes(), std::uint64_t{1} << 20);
}

}  // namespace
}  // namespace morvale
