#include "platform/deadline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>

namespace kestrel::platform {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = Deadline::Clock;

const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1000);

TEST(DeadlineTest, RemainingRoundsUpAndStopsAtZero) {
    struct Case {
        uint64_t ms;
        Clock::duration elapsed;
        int remaining;
        bool expired;
    };
    const Case cases[] = {
        {100, Clock::duration::zero(), 100, false},
        {100, microseconds(1), 100, false},  // 99.999 ms left: waiting 99 would end too early
        {100, milliseconds(40), 60, false},
        {100, microseconds(99001), 1, false},
        {100, milliseconds(100), 0, true},
        {100, milliseconds(5000), 0, true},
        {0, Clock::duration::zero(), 0, true},
    };
    for (const Case& c : cases) {
        const Deadline deadline(c.ms, kStart);
        EXPECT_EQ(deadline.RemainingMs(kStart + c.elapsed), c.remaining)
            << c.ms << " ms after " << c.elapsed.count();
        EXPECT_EQ(deadline.Expired(kStart + c.elapsed), c.expired)
            << c.ms << " ms after " << c.elapsed.count();
    }
}

TEST(DeadlineTest, LongWaitsFitIntoPollWithoutOverflow) {
    // (UINT32_MAX + 1) * UINT32_MAX is the longest serial read a caller can ask for.
    const uint64_t longest = (uint64_t{UINT32_MAX} + 1) * UINT32_MAX;
    for (uint64_t ms : {uint64_t{INT_MAX} + 1, Deadline::kMaxMs, longest}) {
        const Deadline deadline(ms, kStart);
        EXPECT_EQ(deadline.RemainingMs(kStart), INT_MAX) << ms;
        EXPECT_FALSE(deadline.Expired(kStart + std::chrono::hours(24 * 20))) << ms;
    }
}

TEST(DeadlineTest, DefaultStartIsNow) {
    const Deadline deadline(60000);
    EXPECT_FALSE(deadline.Expired());
    EXPECT_GT(deadline.RemainingMs(), 50000);
    EXPECT_LE(deadline.RemainingMs(), 60000);
}

}  // namespace
}  // namespace kestrel::platform
