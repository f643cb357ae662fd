#pragma once

#include <functional>
#include <optional>

namespace morvale::test {

// Runs `body` in a fresh run of the current test whose CPU affinity is its first `cpus` allowed
// processors, and returns that run's exit status (body's result, 0 to 255); none when the process may
// not run on that many. The test program is started again (with a filter for the current test) rather
// than only forked, so values the code reads once per process are read afresh under the new affinity.
// Inside that run the call does not return: it exits with body's result.
std::optional<int> exitStatusPinnedTo(int cpus, const std::function<int()>& body);

}  // namespace morvale::test
