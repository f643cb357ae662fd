#include "av_engine/child_spawner.h"

#include "support/owner_process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace morvale {
namespace {

std::string proc(pid_t pid, const std::string& file) { return test::readFile("/proc/" + std::to_string(pid) + "/" + file); }

// Gone, or a zombie waiting for whoever adopted it.
bool ended(pid_t pid) {
    const std::string stat = proc(pid, "stat");
    return stat.empty() || stat.find(") Z") != std::string::npos;
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
        {"started by a thread that ended", Moment::afterTheStartingThreadEnded, "read l; echo alive; exec sleep 1000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::TempDir dir;
        const std::string fifo = (dir / "fifo").string();
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        test::OwnerProcess owner([&] {
            int in[2];
            int out[2];
            if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return std::string();
            pid_t child = -1;
            pid_t starter = 0;
            const auto start = [&] {
                starter = static_cast<pid_t>(::gettid());
                child = ChildSpawner::spawn("/bin/sh", {"sh", "-c", c.script, fifo}, in[0], out[1]);
            };
            if (c.moment != Moment::afterTheStartingThreadEnded) {
                start();
                return std::to_string(child);
            }
            std::thread(start).join();
            ::close(in[0]);  // so that a dead child's silence reads as the end of its output
            ::close(out[1]);
            ::signal(SIGPIPE, SIG_IGN);
            // Gone from the task list: whatever the thread's end sends to its children has been sent.
            test::waitUntil([&] { return proc(::getpid(), "task/" + std::to_string(starter) + "/stat").empty(); });
            char answer[6] = {};
            const bool asked = ::write(in[1], "?\n", 2) == 2 && ::read(out[0], answer, 5) == 5;
            return asked && answer == std::string("alive") ? std::to_string(child) : std::string("dead");
        });
        ASSERT_NE(owner.made(), "dead");
        const pid_t child = std::stoi(owner.made());
        if (c.moment == Moment::whileOpeningAFifo) {
            const std::string opening = std::to_string(SYS_openat) + " ";
            EXPECT_TRUE(test::waitUntil([&] { return proc(child, "syscall").starts_with(opening); }));
        }
        owner.kill();
        EXPECT_TRUE(test::waitUntil([&] { return ended(child); }, std::chrono::seconds(1)));
    }
}

}  // namespace
}  // namespace morvale
