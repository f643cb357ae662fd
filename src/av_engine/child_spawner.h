#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <sys/types.h>

namespace morvale {

// Starts outside programs as child processes that end when this process ends, however it ends (a
// SIGKILL included), so that no encoder is left running, or waiting for input, after the program.
//
// The kernel's parent-death signal does this, but it belongs to the thread that forked, not to the
// process: a child forked by a worker thread would be killed when that worker ends, while the program
// still waits for it. So every child is forked by one spawner thread, started on first use and never ended, which lives exactly as long as the process. The child
// compares its parent with the one recorded before the fork once the signal is set, so a process that
// died in between is not missed. A process forked from this one starts its own spawner.
//
// Thread rules: spawn() may be called from any thread, at the same time as others; the child may be
// waited for and signalled from any thread, and outlives the thread that asked for it.
class ChildSpawner {
public:
    // Starts `executable` with `arguments` (the first being the program's name) and this process's
    // environment: standard input from `input` (/dev/null when -1), standard output and error to
    // `output` (/dev/null when -1), no other descriptor inherited, in a process group of its own, with
    // every signal at its default and none blocked. The caller keeps its own descriptors and reaps the
    // child. Throws std::system_error "Cannot start <executable>" when it cannot be started or executed.
    static pid_t spawn(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                       int input = -1, int output = -1);
};

}  // namespace morvale
