#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace morvale {

// A process told apart from any later one that reuses its id: the id together with the moment it
// started (clock ticks after boot, as /proc gives it), and where both are counted. Files named after
// their writer carry it, so that a later run can tell whether the writer still lives.
//
// Ids and start times mean something only where they are counted: another machine (a network
// folder), another boot, or another PID or time namespace (a container, a sandbox) has its own. An
// identity counted elsewhere can never be proven gone from here.
//
// Reads /proc on every call; holds no state, safe from any thread.
struct ProcessIdentity {
    // Where ids and start times are counted: the machine's boot and the process's PID and time
    // namespaces. A namespace's number is given again only once it has ended with all its
    // processes, so a writer of the earlier one is rightly found gone.
    struct Scope {
        std::string bootID;  // /proc/sys/kernel/random/boot_id, new at every boot of every machine
        std::uint64_t pidNamespace = 0;
        std::uint64_t timeNamespace = 0;  // 0 on kernels without time namespaces

        // This process's, read afresh (a child forked into a new namespace gets its own). None when
        // it cannot be read, or when /proc is not that of the process's own PID namespace: then no
        // id that /proc shows is comparable with the process's own.
        static std::optional<Scope> current();
        // A digest of the three, never 0: what names carry.
        std::uint64_t tag() const;
    };

    pid_t pid = 0;
    std::uint64_t startTime = 0;
    std::uint64_t scope = 0;  // Scope::tag() of where pid and startTime are counted; 0 when unknown

    // This process as it is now (read afresh, so a forked child gets its own).
    static ProcessIdentity current();
    // The process with that id now running here; none when there is none or /proc cannot tell.
    static std::optional<ProcessIdentity> of(pid_t pid);
    // The tag of this process's Scope, or 0 when it has none.
    static std::uint64_t currentScope();

    // False only when it is sure: the identity is counted where this process counts (its scope is
    // `here`, and known), and no process has the id, the one that has it started at another moment,
    // or it has ended and waits to be reaped. Doubt (another scope, /proc unreadable) counts as alive.
    bool isAlive(std::uint64_t here = currentScope()) const;

    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

}  // namespace morvale
