#include "av_engine/child_spawner.h"

#include "support/owner_process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

namespace morvale {
namespace {

using namespace std::chrono_literals;

std::string proc(pid_t pid, const char* file) { return test::readFile("/proc/" + std::to_string(pid) + "/" + file); }

// Neither ended nor a zombie.
bool running(pid_t pid) {
    const std::string stat = proc(pid, "stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

bool blockedOpening(pid_t pid) {
    const std::string call = proc(pid, "syscall");
    return call.starts_with(std::to_string(SYS_openat) + " ") || call.starts_with(std::to_string(SYS_open) + " ");
}

// A child standing in for FFmpeg outlives no SIGKILL of the process that started it: not one killed at
// once (before the child can have set its parent-death signal), nor one waiting to open a named pipe
// nobody will write, nor one whose starting thread ended long before.
TEST(ChildSpawner, AChildDiesWithTheProcessThatStartedIt) {
    enum class Moment { atOnce, whileOpeningAFifo, afterTheStartingThreadEnded };
    const struct {
        const char* name;
        Moment moment;
        const char* script;
    } cases[] = {
        {"killed right after the start", Moment::atOnce, "exec sleep 1000"},
        {"killed while the child waits to open a FIFO", Moment::whileOpeningAFifo, "exec 3<\"$0\""},
        {"started by a thread that ended", Moment::afterTheStartingThreadEnded, "read line; echo alive; exec sleep 1000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::TempDir dir;
        const std::string fifo = (dir / "fifo").string();
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        test::OwnerProcess owner([&] {
            int toChild[2];
            int fromChild[2];
            if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return std::string();
            pid_t child = -1;
            pid_t starter = 0;
            const auto start = [&] {
                starter = static_cast<pid_t>(::gettid());
                child = ChildSpawner::spawn("/bin/sh", {"sh", "-c", c.script, fifo}, toChild[0], fromChild[1]);
            };
            if (c.moment != Moment::afterTheStartingThreadEnded) {
                start();
                return std::to_string(child);
            }
            std::thread(start).join();
            ::close(toChild[0]);  // so that a dead child's silence reads as the end of its output
            ::close(fromChild[1]);
            ::signal(SIGPIPE, SIG_IGN);
            // Gone from the process's task list: whatever its end sends to its children has been sent.
            test::waitUntil([&] { return !std::filesystem::exists("/proc/self/task/" + std::to_string(starter)); });
            char answer[6] = {};
            const bool asked = ::write(toChild[1], "?\n", 2) == 2 && ::read(fromChild[0], answer, 5) == 5;
            return asked && std::string(answer) == "alive" ? std::to_string(child) : std::string("dead");
        });
        ASSERT_NE(owner.made(), "dead");
        const pid_t child = std::stoi(owner.made());
        if (c.moment == Moment::whileOpeningAFifo) {
            EXPECT_TRUE(test::waitUntil([&] { return blockedOpening(child); }));
        }
        owner.kill();
        EXPECT_TRUE(test::waitUntil([&] { return !running(child); }, 1s));
    }
}

}  // namespace
}  // namespace morvale
