#include "av_engine/child_spawner.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace morvale {

namespace {

// One start, handed to the spawner thread; everything the child needs is made before the fork.
struct Job {
    const char* executable = nullptr;
    char* const* argv = nullptr;
    int input = -1;
    int output = -1;
    int descriptorLimit = 0;
    pid_t pid = -1;
    int error = 0;
    bool done = false;
};

void closeRange(int first, int last, int limit) {
    if (first > last) return;
    if (::close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) return;
    for (int fd = first; fd <= last && fd < limit; ++fd) ::close(fd);
}

int descriptorAbove2(int fd, int flags) {
    return fd >= 0 ? ::fcntl(fd, F_DUPFD, 3) : ::open("/dev/null", flags | O_CLOEXEC);
}

// Between fork and exec, in a copy of a threaded process: system calls only.
[[noreturn]] void becomeChild(const Job& job, pid_t parent, int report) {
    int error = 0;
    // Set before anything else, then checked: a parent that died before the signal was set would never send it.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) error = errno;
    if (error == 0 && ::getppid() != parent) ::_exit(127);
    if (error == 0 && ::setpgid(0, 0) != 0) error = errno;
    const int in = descriptorAbove2(job.input, O_RDONLY);
    const int out = descriptorAbove2(job.output, O_WRONLY);
    if (error == 0 && (in < 0 || out < 0)) error = errno;
    if (error == 0 && (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)) error = errno;
    if (error == 0) {
        // The report pipe closes itself on exec; everything else the program holds must not reach the child.
        closeRange(3, report - 1, job.descriptorLimit);
        closeRange(report + 1, INT_MAX, job.descriptorLimit);
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &byDefault, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(job.executable, job.argv, environ);
        error = errno;
    }
    [[maybe_unused]] const ssize_t sent = ::write(report, &error, sizeof error);
    ::_exit(127);
}

void start(Job& job) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        job.error = errno;
        return;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) becomeChild(job, parent, report[1]);
    const int forkError = errno;
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        job.error = forkError;
        return;
    }
    // End of file: the exec succeeded. Otherwise the child reports why it did not, and is gone.
    int childError = 0;
    ssize_t got = 0;
    while ((got = ::read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        job.error = childError;
        return;
    }
    job.pid = pid;
}

// The thread every child is forked from. Never ended and never destroyed: its children's parent-death
// signal must fire only with the process.
class SpawnerThread {
public:
    explicit SpawnerThread(SpawnerThread* olderOne) : older(olderOne) { std::thread([this] { serve(); }).detach(); }

    SpawnerThread* const older;  // a forked process's copy of its parent's, kept reachable

    void run(Job& job) {
        std::unique_lock lock(mutex_);
        queue_.push_back(&job);
        wake_.notify_one();
        done_.wait(lock, [&] { return job.done; });
    }

private:
    void serve() {
        // Signals for the process go to the threads that expect them.
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            Job* job = queue_.front();
            queue_.pop_front();
            lock.unlock();
            start(*job);
            lock.lock();
            job->done = true;
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<Job*> queue_;
};

// The spawner of this process. A forked copy of the process has none of its parent's threads, so it
// forgets the parent's spawner and starts its own when it needs one.
struct Registry {
    std::mutex mutex;
    SpawnerThread* current = nullptr;
    SpawnerThread* forgotten = nullptr;
};

Registry& registry() {
    static auto* const instance = [] {
        auto* made = new Registry;
        ::pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                         [] {
                             Registry& r = registry();
                             if (r.current) r.forgotten = std::exchange(r.current, nullptr);
                             r.mutex.unlock();
                         });
        return made;
    }();
    return *instance;
}

SpawnerThread& spawner() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.current) r.current = new SpawnerThread(std::exchange(r.forgotten, nullptr));
    return *r.current;
}

}  // namespace

pid_t ChildSpawner::spawn(const std::filesystem::path& executable, const std::vector<std::string>& arguments, int input,
                          int output) {
    std::vector<std::string> words = arguments;
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    rlimit files {};
    Job job;
    job.executable = executable.c_str();
    job.argv = argv.data();
    job.input = input;
    job.output = output;
    job.descriptorLimit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? static_cast<int>(files.rlim_cur) : 65536;
    spawner().run(job);
    if (job.pid < 0) throw std::system_error(job.error, std::generic_category(), "Cannot start " + executable.string());
    return job.pid;
}

}  // namespace morvale
