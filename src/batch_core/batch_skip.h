#pragma once

#include <stdexcept>
#include <string>

namespace morvale {

// Thrown by a preset to mark its item skipped rather than failed; what() is exactly the reason.
class BatchSkip : public std::runtime_error {
public:
    explicit BatchSkip(const std::string& reason) : std::runtime_error(reason) {}
    std::string reason() const { return what(); }
};

}  // namespace morvale
