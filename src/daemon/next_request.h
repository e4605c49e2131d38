#pragma once
// A worker's side of the connection keeper: a connection stays with the
// worker only while its next request head is there whole, or follows within
// a short linger; otherwise it goes to the keeper, which passes it to a
// free worker once its head has arrived.

#include <string>

// How long a worker waits for a head that has not arrived whole: after a
// reply, long enough for a client that sends its next request at once, and
// short enough that an idle connection costs the worker next to nothing.
constexpr int head_linger_ms = 5;

enum class next_request {
    arrived,  // the whole head is there (in the line reader or the socket)
    not_yet,  // it has not come whole in time: hand the connection over
    closed,   // the client closed or reset it without a further byte
};

// True when another connection waits for a worker (a ready one in the
// keeper's channel, or a new one in the listen queue) and no worker is idle
// to take it: a worker then hands its connection back after a reply rather
// than serve it again, so that connections take turns.
bool others_wait_for_a_worker();

// Waits up to `linger_ms` for the connection's next head. A reload (the
// keep-alive pipe closing) or SIGTERM ends the wait early with not_yet.
next_request await_request_head(int fd, int linger_ms);

// Hands the connection to the keeper together with what the line reader
// holds of it, and drops it here; it is closed when the keeper cannot take
// it. `wait_limit_seconds` bounds the keeper's wait for its next head (0 or
// less: no limit); `fresh`: just accepted, refused when MaxConnections are
// held.
void hand_to_keeper(int fd, int wait_limit_seconds, bool fresh);

// A connection the keeper passed on: the bytes the line reader held go back
// into it, and the time it waited for a worker is observed.
void take_from_keeper(const std::string& head_bytes, long long ready_at_ns);
