#include "base/system_limits.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

namespace morvale {
namespace {

using namespace system_limits_detail;

TEST(SystemLimitsTest, CgroupFilesParse) {
    struct CpuCase {
        const char* text;
        std::optional<int> cpus;
    };
    for (const CpuCase& c : {CpuCase{"max 100000\n", std::nullopt}, CpuCase{"400000 100000\n", 4},
                             CpuCase{"150000 100000", 2}, CpuCase{"-1 100000", std::nullopt},
                             CpuCase{"50000 100000\n", 1}, CpuCase{"", std::nullopt}, CpuCase{"12 0", std::nullopt}}) {
        EXPECT_EQ(cpuQuotaFromCpuMax(c.text), c.cpus) << c.text;
    }
    EXPECT_EQ(bytesFromMemoryMax("max\n"), std::nullopt);
    EXPECT_EQ(bytesFromMemoryMax("4294967296\n"), std::optional<std::uint64_t>(4294967296u));
    EXPECT_EQ(bytesFromMemoryMax("12x"), std::nullopt);

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
