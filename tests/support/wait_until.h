#pragma once

#include <chrono>
#include <functional>

namespace morvale::test {

// How long a test waits for what must come before it gives up: a bound against a hang only, which a
// sanitizer build on a machine loaded several times over stays well inside.
inline constexpr std::chrono::minutes hangGuard{5};
// The same for Qt's waits, which take milliseconds as an int.
inline constexpr int hangGuardMilliseconds = static_cast<int>(std::chrono::milliseconds(hangGuard).count());

// Asks `holds` every few milliseconds until it answers true or `deadline` has passed, and returns its
// last answer. For a state that follows an asynchronous end: a process group sent SIGKILL exists until
// the kernel has torn down and reaped its last process, a signalled program's children may outlive
// its exit by a moment, a thread told to stop gets there when it is next scheduled. Asked once, right
// after the end, such a check fails whenever the machine is busy. The deadline is generous because
// the wait costs nothing when the state arrives promptly.
bool waitUntil(const std::function<bool()>& holds, std::chrono::milliseconds deadline = hangGuard);

}  // namespace morvale::test
