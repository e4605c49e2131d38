// The keeper's deadlines: connections of two wait limits, added over time,
// come out in deadline order; removed ones never come out.

#include <gtest/gtest.h>

#include "daemon/deadline_lists.h"

TEST(deadline_lists, expire_in_deadline_order_across_limits) {
    deadline_lists d;
    EXPECT_EQ(d.earliest(), -1);
    d.add(5, 100, 0);   // 100
    d.add(7, 30, 10);   // 40
    d.add(3, 100, 20);  // 120
    d.add(9, 30, 20);   // 50
    d.add(4, 30, 25);   // 55
    d.remove(9);
    d.remove(9);        // twice: no-op
    d.remove(1000);     // never added
    EXPECT_EQ(d.size(), 4u);
    EXPECT_EQ(d.earliest(), 40);
    EXPECT_EQ(d.take_expired(39), -1);
    std::vector<int> out;
    for (int now : {40, 60, 100, 200})
        for (int fd; (fd = d.take_expired(now)) >= 0;)
            out.push_back(fd);
    EXPECT_EQ(out, (std::vector<int>{7, 4, 5, 3}));
    EXPECT_EQ(d.size(), 0u);
    EXPECT_EQ(d.earliest(), -1);
    // A descriptor number used again after it left starts afresh.
    d.add(7, 30, 500);
    EXPECT_EQ(d.earliest(), 530);
}
