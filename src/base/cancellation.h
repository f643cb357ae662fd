#pragma once

#include <stdexcept>
#include <stop_token>

namespace morvale {

// Thrown by long work that stopped because its stop token was asked to stop. The batch queue ends
// the item as cancelled, not failed; whoever throws it has already removed its temporary files.
class OperationCancelled : public std::runtime_error {
public:
    OperationCancelled() : std::runtime_error("Cancelled") {}
};

// For loops over work: call at least every 100 ms of it.
inline void throwIfStopRequested(const std::stop_token& token) {
    if (token.stop_requested()) throw OperationCancelled();
}

}  // namespace morvale
