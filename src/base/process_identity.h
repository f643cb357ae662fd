#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace morvale {

// A process told apart from any later one that reuses its id: the id together with the moment it
// started (clock ticks after boot, as /proc gives it). Files named after their writer carry it, so
// that a later run can tell whether the writer still lives.
//
// Reads /proc on every call; holds no state, safe from any thread.
struct ProcessIdentity {
    pid_t pid = 0;
    std::uint64_t startTime = 0;

    // This process as it is now (read afresh, so a forked child gets its own).
    static ProcessIdentity current();
    // The process with that id now running; none when there is none or /proc cannot tell.
    static std::optional<ProcessIdentity> of(pid_t pid);

    // False only when it is sure: no process has the id, the one that has it started at another
    // moment, or it has ended and waits to be reaped. Doubt (/proc unreadable) counts as alive.
    bool isAlive() const;

    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

}  // namespace morvale
