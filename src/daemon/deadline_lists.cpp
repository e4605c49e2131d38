#include "daemon/deadline_lists.h"

void deadline_lists::add(int fd, int64_t limit, int64_t now) {
    if (static_cast<size_t>(fd) >= links_.size())
        links_.resize(static_cast<size_t>(fd) + 1024);
    link& l = links_[static_cast<size_t>(fd)];
    list& in = lists_[limit];
    l.linked = true;
    l.limit = limit;
    l.deadline = now + limit;
    l.prev = in.tail;
    l.next = -1;
    if (in.tail >= 0)
        links_[static_cast<size_t>(in.tail)].next = fd;
    else
        in.head = fd;
    in.tail = fd;
    ++count_;
}

void deadline_lists::remove(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= links_.size() || !links_[static_cast<size_t>(fd)].linked)
        return;
    link& l = links_[static_cast<size_t>(fd)];
    auto in = lists_.find(l.limit);
    if (l.prev >= 0)
        links_[static_cast<size_t>(l.prev)].next = l.next;
    else
        in->second.head = l.next;
    if (l.next >= 0)
        links_[static_cast<size_t>(l.next)].prev = l.prev;
    else
        in->second.tail = l.prev;
    if (in->second.head < 0)
        lists_.erase(in);
    l = link();
    --count_;
}

int64_t deadline_lists::earliest() const {
    int64_t first = -1;
    for (const auto& [limit, in] : lists_) {
        int64_t deadline = links_[static_cast<size_t>(in.head)].deadline;
        if (first < 0 || deadline < first)
            first = deadline;
    }
    return first;
}

int deadline_lists::take_expired(int64_t now) {
    for (const auto& [limit, in] : lists_) {
        int fd = in.head;
        if (links_[static_cast<size_t>(fd)].deadline <= now) {
            remove(fd);
            return fd;
        }
    }
    return -1;
}
