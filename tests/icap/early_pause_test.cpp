// The growing pause of an early reply never wraps to a negative poll time-out.

#include <gtest/gtest.h>

#include <climits>

#include "icap/early_reply.h"

TEST(early_reply_pause, doubles_and_holds_at_the_largest_poll_time_out) {
    struct {
        int32_t pause;
        int doublings;
        int expected;
    } cases[] = {
        {50, 0, 50},
        {50, 6, 3200},
        {INT32_MAX / 64, 6, INT32_MAX / 64 * 64},
        {INT32_MAX / 64 + 1, 6, INT32_MAX},
        {INT32_MAX, 6, INT32_MAX},
        {1 << 30, 1, INT32_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(backoff_pause_ms(c.pause, c.doublings), c.expected) << c.pause << " << " << c.doublings;
}
