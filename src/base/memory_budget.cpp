#include "base/memory_budget.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/cancellation.h"
#include "base/system_limits.h"

namespace morvale {

namespace {

std::string gigabytes(std::uint64_t bytes, int decimals) {
    char text[64];
    // Exact in a long double's 64-bit mantissa, so the rounding is of the true value.
    std::snprintf(text, sizeof text, "%.*Lf", decimals, static_cast<long double>(bytes) / (1 << 30));
    return text;
}

// Both amounts with the fewest decimals (one at least) that tell them apart: a request refused must not
// read as if it fitted. Ten tell apart any two that differ by a byte.
std::string message(std::uint64_t requested, std::uint64_t capacity) {
    int decimals = 1;
    while (decimals < 10 && gigabytes(requested, decimals) == gigabytes(capacity, decimals)) ++decimals;
    return "Not enough memory: this item needs about " + gigabytes(requested, decimals) + " GB and at most " +
           gigabytes(capacity, decimals) + " GB may be used at once.";
}

}  // namespace

MemoryBudgetExceeded::MemoryBudgetExceeded(std::uint64_t requested, std::uint64_t capacity)
    : std::runtime_error(message(requested, capacity)) {}

MemoryBudget::Reservation::Reservation(Reservation&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

MemoryBudget::Reservation& MemoryBudget::Reservation::operator=(Reservation&& other) noexcept {
    if (this != &other) {
        if (budget_ != nullptr) budget_->release(bytes_);
        budget_ = std::exchange(other.budget_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

MemoryBudget::Reservation::~Reservation() {
    if (budget_ != nullptr) budget_->release(bytes_);
}

MemoryBudget::MemoryBudget(std::uint64_t capacityBytes) : capacity_(capacityBytes) {}

MemoryBudget& MemoryBudget::process() {
    static MemoryBudget budget(memoryLimitBytes() / 4 * 3);
    return budget;
}

std::uint64_t MemoryBudget::inUse() const {
    std::lock_guard lock(mutex_);
    return inUse_;
}

std::size_t MemoryBudget::waiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

MemoryBudget::Reservation MemoryBudget::reserve(std::uint64_t bytes, std::stop_token stop) {
    if (bytes > capacity_) throw MemoryBudgetExceeded(bytes, capacity_);
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = nextTicket_++;
    queue_.push_back(ticket);
    const bool granted = changed_.wait(lock, stop, [&] {
        return queue_.front() == ticket && bytes <= capacity_ - inUse_;
    });
    if (!granted) {
        queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
        lock.unlock();
        changed_.notify_all();  // the next in line may fit now that this one has gone
        throw OperationCancelled();
    }
    queue_.pop_front();
    inUse_ += bytes;
    lock.unlock();
    changed_.notify_all();
    return Reservation(this, bytes);
}

void MemoryBudget::release(std::uint64_t bytes) {
    {
        std::lock_guard lock(mutex_);
        inUse_ -= std::min(bytes, inUse_);
    }
    changed_.notify_all();
}

}  // namespace morvale
