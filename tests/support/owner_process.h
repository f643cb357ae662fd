#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace morvale::test {

// A child process that makes something the way a running program does (a temporary file, a scratch
// folder) and keeps it, with whatever it holds open, until it is killed, as the program can be
// mid-run. The child also ends when the test program does.
class OwnerProcess {
public:
    // Forks; the child runs `make` (which may leak what must stay open) and hands back the text it
    // returns, typically a path. made() is empty when `make` threw.
    explicit OwnerProcess(const std::function<std::string()>& make);
    // Kills the child if it still lives.
    ~OwnerProcess();
    OwnerProcess(const OwnerProcess&) = delete;
    OwnerProcess& operator=(const OwnerProcess&) = delete;

    const std::string& made() const { return made_; }
    pid_t pid() const { return pid_; }
    // SIGKILL, and reaped once this returns: what it made stays behind, its locks are gone.
    void kill();

private:
    pid_t pid_ = -1;
    int life_ = -1;  // the child reads this pipe's other end and ends when it closes
    std::string made_;
};

}  // namespace morvale::test
