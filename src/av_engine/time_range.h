#pragma once

namespace morvale {

// A half-open span of seconds, lower bound included.
struct TimeRange {
    double lower = 0.0;
    double upper = 0.0;

    double length() const { return upper - lower; }
    friend bool operator==(const TimeRange&, const TimeRange&) = default;
};

}  // namespace morvale
