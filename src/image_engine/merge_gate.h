#pragma once

#include <mutex>
#include <utility>

namespace morvale {

// Lets one bracket fusion run at a time across the whole process: a fusion uses every core and
// most of the memory a batch can spare, so fusions of different items queue here while the rest of
// the batch goes on. The body runs on the caller's thread while the gate is held.
class MergeGate {
public:
    static MergeGate& shared();

    // The body's value; what the body throws passes through (the gate is released either way).
    template <typename Body>
    decltype(auto) run(Body&& body) {
        const std::lock_guard lock(mutex_);
        return std::forward<Body>(body)();
    }

    MergeGate(const MergeGate&) = delete;
    MergeGate& operator=(const MergeGate&) = delete;

private:
    MergeGate() = default;
    std::mutex mutex_;
};

}  // namespace morvale
