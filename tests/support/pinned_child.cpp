#include "support/pinned_child.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace morvale::test {

namespace {
constexpr const char* kChildVariable = "MORVALE_PINNED_CHILD";
}

std::optional<int> exitStatusPinnedTo(int cpus, const std::function<int()>& body) {
    if (std::getenv(kChildVariable) != nullptr) {
        std::fflush(nullptr);
        ::_exit(body() & 0xFF);
    }
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof(allowed), &allowed) != 0 || CPU_COUNT(&allowed) < cpus) return std::nullopt;
    cpu_set_t pinned;
    CPU_ZERO(&pinned);
    for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < cpus; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &pinned);
            ++taken;
        }
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) return std::nullopt;
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const pid_t child = ::fork();
    if (child < 0) return std::nullopt;
    if (child == 0) {
        if (::sched_setaffinity(0, sizeof(pinned), &pinned) != 0 || ::setenv(kChildVariable, "1", 1) != 0) ::_exit(255);
        char self[] = "/proc/self/exe";
        char* const argv[] = {self, const_cast<char*>(filter.c_str()), nullptr};
        ::execv(self, argv);
        ::_exit(255);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

}  // namespace morvale::test
