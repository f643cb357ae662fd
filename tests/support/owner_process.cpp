#include "support/owner_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace morvale::test {

OwnerProcess::OwnerProcess(const std::function<std::string()>& make) {
    int report[2];
    int life[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    if (::pipe2(life, O_CLOEXEC) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        throw std::runtime_error("cannot make a pipe");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(report[0]);
        ::close(life[1]);
        std::string made;
        try {
            made = make();
        } catch (...) {
        }
        made += '\n';
        [[maybe_unused]] const ssize_t sent = ::write(report[1], made.data(), made.size());
        ::close(report[1]);
        char byte;
        while (::read(life[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(life[0]);
    life_ = life[1];
    if (pid_ < 0) {
        ::close(report[0]);
        throw std::runtime_error("cannot fork");
    }
    char buffer[512];
    for (;;) {
        const ssize_t got = ::read(report[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        made_.append(buffer, static_cast<std::size_t>(got));
        if (made_.back() == '\n') break;
    }
    ::close(report[0]);
    if (!made_.empty() && made_.back() == '\n') made_.pop_back();
}

OwnerProcess::~OwnerProcess() {
    kill();
    if (life_ >= 0) ::close(life_);
}

void OwnerProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace morvale::test
