#include "support/wait_until.h"

#include <thread>

namespace morvale::test {

bool waitUntil(const std::function<bool()>& holds, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= end) return holds();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace morvale::test
