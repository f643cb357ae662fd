#pragma once

#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <utility>

#include "base/cancellation.h"

namespace morvale {

// Lets one bracket fusion run at a time across the whole process: a fusion uses every core and
// most of the memory a batch can spare, so fusions of different items queue here while the rest of
// the batch goes on. The body runs on the caller's thread while the gate is held.
class MergeGate {
public:
    static MergeGate& shared();

    // The body's value; what the body throws passes through (the gate is released either way).
    // A caller still waiting for the gate when `stop` fires throws OperationCancelled instead.
    template <typename Body>
    decltype(auto) run(Body&& body, std::stop_token stop = {}) {
        const Hold hold(*this, stop);
        return std::forward<Body>(body)();
    }

    MergeGate(const MergeGate&) = delete;
    MergeGate& operator=(const MergeGate&) = delete;

private:
    MergeGate() = default;

    class Hold {
    public:
        Hold(MergeGate& gate, std::stop_token stop) : gate_(gate) {
            std::unique_lock lock(gate_.mutex_);
            if (!gate_.released_.wait(lock, stop, [this] { return !gate_.busy_; })) throw OperationCancelled();
            gate_.busy_ = true;
        }
        ~Hold() {
            {
                const std::lock_guard lock(gate_.mutex_);
                gate_.busy_ = false;
            }
            gate_.released_.notify_one();
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        MergeGate& gate_;
    };

    std::mutex mutex_;
    std::condition_variable_any released_;
    bool busy_ = false;
};

}  // namespace morvale
