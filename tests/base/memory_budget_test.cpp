#include "base/memory_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/cancellation.h"

namespace morvale {
namespace {

using namespace std::chrono_literals;

// Waits (boundedly) until the budget's reserved bytes reach `bytes`.
bool inUseReaches(const MemoryBudget& budget, std::uint64_t bytes) {
    for (int i = 0; i < 2000 && budget.inUse() != bytes; ++i) std::this_thread::sleep_for(5ms);
    return budget.inUse() == bytes;
}

TEST(MemoryBudget, MoreThanTheWholeBudgetFailsAtOnceSayingHowMuch) {
    MemoryBudget budget(std::uint64_t{3} << 30);
    try {
        (void)budget.reserve(std::uint64_t{7} << 29);
        ADD_FAILURE() << "reserved";
    } catch (const MemoryBudgetExceeded& error) {
        EXPECT_STREQ(error.what(),
                     "Not enough memory: this item needs about 3.5 GB and at most 3.0 GB may be used at once.");
    }
    EXPECT_EQ(budget.inUse(), 0u);
}

// Waiters are served in the order they came: a small request that would fit does not pass a large
// one waiting before it; both go once the holder gives its share back.
TEST(MemoryBudget, WaitersAreServedFirstComeFirstServed) {
    MemoryBudget budget(10);
    std::optional<MemoryBudget::Reservation> holder = budget.reserve(6);
    std::mutex mutex;
    std::vector<std::string> order;
    std::jthread large([&] {
        auto held = budget.reserve(8);
        std::lock_guard lock(mutex);
        order.push_back("large");
    });
    ASSERT_TRUE(inUseReaches(budget, 6));
    std::this_thread::sleep_for(50ms);  // the large one is queued before the small one
    std::jthread small([&] {
        auto held = budget.reserve(2);
        std::lock_guard lock(mutex);
        order.push_back("small");
    });
    std::this_thread::sleep_for(100ms);
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(order.empty()) << "served past the holder or past the queue";
    }
    holder.reset();
    large.join();
    small.join();
    EXPECT_EQ(order, (std::vector<std::string>{"large", "small"}));
    EXPECT_EQ(budget.inUse(), 0u);
}

// A stop ends the wait, and the waiter behind the stopped one is not held up by it.
TEST(MemoryBudget, AStopEndsTheWaitAndLetsTheNextInLine) {
    MemoryBudget budget(10);
    auto holder = budget.reserve(5);
    std::stop_source stop;
    std::jthread stopped([&] { EXPECT_THROW((void)budget.reserve(10, stop.get_token()), OperationCancelled); });
    std::this_thread::sleep_for(50ms);
    std::jthread next([&] { auto held = budget.reserve(5); });
    std::this_thread::sleep_for(50ms);
    stop.request_stop();
    stopped.join();
    next.join();
    EXPECT_EQ(budget.inUse(), 5u);
}

}  // namespace
}  // namespace morvale
