#pragma once
// The connection keeper: one single-threaded process with one epoll loop
// that holds every connection not in the middle of a request, so that a
// connection costs a worker only while it carries one. Workers accept new
// connections and hand over those whose first request head has not arrived
// yet, and hand back a keep-alive connection after a reply when no next
// request follows at once. The keeper watches each one until its next head
// is there whole (or request_head_limit bytes of it, or the client closes),
// then passes it to a free worker, in the order the heads were complete;
// it closes connections whose wait limit passes, and closes a new one at
// once when MaxConnections are held.
//
// It lives in a process of its own rather than in the parent: the parent
// forks workers, and each fork would copy every held descriptor into the
// child; and nothing the parent does at a reload (loading lists, asking the
// scanning engine) can then delay a connection. It needs no configuration:
// wait limits come with each connection, MaxConnections from the worker
// table, so a reload leaves it and the connections it holds alone.

#include <sys/types.h>

// The keeper's loop, in a process forked from the parent (never returns):
// names itself, closes `started` (the parent waits for that), then serves
// end 0 of the keeper channel until SIGTERM or the parent's death, and
// closes what it holds.
[[noreturn]] void keeper_main(pid_t parent, int started);
