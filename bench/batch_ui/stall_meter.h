#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

namespace morvale::bench {

// How long the event loop kept a timer every 20 ms waiting beyond its interval, in milliseconds:
// the longest wait, and the sum of the waits over 100 ms, a user's sense of a window that froze.
struct Stalls {
    double longest = 0;
    double over100 = 0;
};

// Measures the stalls of the thread it lives on, from its construction, phase by phase.
class StallMeter {
public:
    StallMeter() {
        clock_.start();
        last_ = clock_.nsecsElapsed();
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            const double late = static_cast<double>(now - last_) / 1e6 - 20.0;
            last_ = now;
            phase_.longest = std::max(phase_.longest, late);
            if (late > 100) phase_.over100 += late;
        });
        timer_.start();
    }
    // The stalls since the last call; they count towards total().
    Stalls take() {
        const Stalls taken = phase_;
        total_.longest = std::max(total_.longest, taken.longest);
        total_.over100 += taken.over100;
        phase_ = {};
        return taken;
    }
    Stalls total() const { return total_; }

private:
    QElapsedTimer clock_;
    qint64 last_ = 0;
    QTimer timer_;
    Stalls phase_, total_;
};

}  // namespace morvale::bench
