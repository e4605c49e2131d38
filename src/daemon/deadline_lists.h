#pragma once
// The keeper's time limits: one list of descriptors per wait limit. The
// entries of a list share their limit and are added as time goes on, so
// each list is in deadline order by itself: adding and removing cost O(1),
// the earliest deadline is the earliest head among the few lists (one per
// limit in use: Timeout and KeepAliveTimeout, old values for a while after
// a reload), and nothing stays behind for a connection that left.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class deadline_lists {
public:
    // `fd` waits at most `limit` from `now` (same unit); it is not in yet.
    void add(int fd, int64_t limit, int64_t now);
    // No-op when `fd` is not in.
    void remove(int fd);
    // The earliest deadline, -1 when there is none.
    int64_t earliest() const;
    // Takes out a descriptor whose deadline is at or before `now`; -1 when
    // none has passed.
    int take_expired(int64_t now);
    size_t size() const { return count_; }

private:
    struct link {
        bool linked = false;
        int prev = -1, next = -1;
        int64_t limit = 0, deadline = 0;
    };
    struct list {
        int head = -1, tail = -1;
    };
    std::vector<link> links_;
    std::map<int64_t, list> lists_;
    size_t count_ = 0;
};
