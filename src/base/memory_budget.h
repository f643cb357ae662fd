#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace morvale {

// A request larger than the whole budget, which no amount of waiting would grant. what() is
// "Not enough memory: this item needs about <X> GB and at most <Y> GB may be used at once.", the two
// amounts with as many decimals (one at least) as it takes to tell them apart.
class MemoryBudgetExceeded : public std::runtime_error {
public:
    MemoryBudgetExceeded(std::uint64_t requested, std::uint64_t capacity);
};

// Memory that work running at the same time may take between them, so that several large items
// started together wait for each other instead of taking more than the machine (or the cgroup)
// allows and being killed. Each piece of work reserves what it will need before it starts and
// gives it back when done; a reservation that does not fit waits, first come first served, so a
// large item is not starved by small ones passing it.
//
// Thread rules: every operation may be called from any thread; reservations may be released on
// another thread than the one that made them.
class MemoryBudget {
public:
    // What one reservation holds; gives it back on destruction. Empty when moved from.
    class Reservation {
    public:
        Reservation() = default;
        Reservation(Reservation&& other) noexcept;
        Reservation& operator=(Reservation&& other) noexcept;
        Reservation(const Reservation&) = delete;
        Reservation& operator=(const Reservation&) = delete;
        ~Reservation();
        std::uint64_t bytes() const { return bytes_; }

    private:
        friend class MemoryBudget;
        Reservation(MemoryBudget* budget, std::uint64_t bytes) : budget_(budget), bytes_(bytes) {}
        MemoryBudget* budget_ = nullptr;
        std::uint64_t bytes_ = 0;
    };

    explicit MemoryBudget(std::uint64_t capacityBytes);
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // The budget of this process: three quarters of the memory it may use (memoryLimitBytes()),
    // leaving the rest to the program itself, the libraries' caches and the system.
    static MemoryBudget& process();

    std::uint64_t capacity() const { return capacity_; }
    // Bytes reserved now.
    std::uint64_t inUse() const;
    // Reservations waiting their turn now.
    std::size_t waiting() const;

    // Waits until `bytes` fit beside what is reserved and every earlier waiter has been served,
    // then reserves them. Throws MemoryBudgetExceeded at once for more than the capacity, and
    // OperationCancelled when `stop` is asked while waiting.
    Reservation reserve(std::uint64_t bytes, std::stop_token stop = {});

private:
    void release(std::uint64_t bytes);

    const std::uint64_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::uint64_t inUse_ = 0;
    std::deque<std::uint64_t> queue_;  // tickets of the waiters, oldest first
    std::uint64_t nextTicket_ = 0;
};

}  // namespace morvale
