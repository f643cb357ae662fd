#include "base/memory_budget.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/cancellation.h"
#include "support/wait_until.h"

namespace morvale {
namespace {


// The two amounts never read alike: as many decimals as it takes to tell them apart.
TEST(MemoryBudget, MoreThanTheWholeBudgetFailsAtOnceSayingHowMuch) {
    constexpr std::uint64_t gib = std::uint64_t{1} << 30;
    const struct {
        std::uint64_t requested;
        std::uint64_t capacity;
        const char* amounts;
    } cases[] = {
        {7 * gib / 2, 3 * gib, "3.5 GB and at most 3.0"},
        {860'000'000, 805'306'368, "0.80 GB and at most 0.75"},  // 1 GiB of memory, three quarters budgeted
        {gib + 1, gib, "1.000000001 GB and at most 1.000000000"},
    };
    for (const auto& c : cases) {
        MemoryBudget budget(c.capacity);
        try {
            (void)budget.reserve(c.requested);
            ADD_FAILURE() << "reserved";
        } catch (const MemoryBudgetExceeded& error) {
            EXPECT_EQ(error.what(), "Not enough memory: this item needs about " + std::string(c.amounts) +
                                        " GB may be used at once.");
        }
        EXPECT_EQ(budget.inUse(), 0u);
    }
}

// Waiters are served in the order they came: a small request that would fit does not pass a large
// one waiting before it. The large one fits only once the holder gives its share back and the small
// one only once the large one has, so the order in which they get through is the budget's alone.
TEST(MemoryBudget, WaitersAreServedFirstComeFirstServed) {
    MemoryBudget budget(10);
    std::optional<MemoryBudget::Reservation> holder = budget.reserve(6);
    std::mutex mutex;
    std::vector<std::string> order;
    std::jthread large([&] {
        auto held = budget.reserve(9);
        std::lock_guard lock(mutex);
        order.push_back("large");
    });
    ASSERT_TRUE(test::waitUntil([&] { return budget.waiting() == 1; }));  // the large one is queued first
    std::jthread small([&] {
        auto held = budget.reserve(2);
        std::lock_guard lock(mutex);
        order.push_back("small");
    });
    ASSERT_TRUE(test::waitUntil([&] { return budget.waiting() == 2; }));
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
    ASSERT_TRUE(test::waitUntil([&] { return budget.waiting() == 1; }));
    std::jthread next([&] { auto held = budget.reserve(5); });
    ASSERT_TRUE(test::waitUntil([&] { return budget.waiting() == 2; }));
    stop.request_stop();
    stopped.join();
    next.join();
    EXPECT_EQ(budget.inUse(), 5u);
}

}  // namespace
}  // namespace morvale
