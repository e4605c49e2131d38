#include "daemon/next_request.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/connection_handoff.h"
#include "daemon/daemon_state.h"
#include "base/log.h"
#include "base/monotonic_clock.h"
#include "daemon/request_head.h"
#include "base/socket_io.h"
#include "base/worker_table.h"
#include "monitoring/traffic_counters.h"

namespace {

bool buffered_head_complete() {
    const char* buffered = nullptr;
    size_t held = readline_buffered(&buffered);
    return held > 0 && request_head_complete(buffered, held);
}

// The buffered bytes and what the socket holds behind them: a whole head,
// nothing yet, or the end of the connection. Most heads fit in the first
// 4 KiB peeked; a longer one is peeked again in full.
next_request look_at_head(int fd) {
    if (buffered_head_complete())
        return next_request::arrived;
    const char* buffered = nullptr;
    size_t held = readline_buffered(&buffered);
    static char head[request_head_limit];
    memcpy(head, buffered, held);
    for (size_t room : {std::min<size_t>(4096, request_head_limit - held), request_head_limit - held}) {
        ssize_t n;
        do {
            n = recv(fd, head + held, room, MSG_PEEK | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return next_request::not_yet;
        if (n <= 0)  // the client's end, or a reset: whatever it sent is served
            return held > 0 ? next_request::arrived : next_request::closed;
        if (request_head_complete(head, held + static_cast<size_t>(n)))
            return next_request::arrived;
        if (static_cast<size_t>(n) < room)
            break;
    }
    return next_request::not_yet;
}

}  // namespace

bool others_wait_for_a_worker() {
    const worker_table_header* table = worker_table();
    if (table && table->idle_hint.load(std::memory_order_relaxed) > 0)
        return false;
    struct pollfd waiting[2] = {{g_keeper_channel[1], POLLIN, 0}, {g_listen_fd, POLLIN, 0}};
    return poll(waiting, 2, 0) > 0;
}

next_request await_request_head(int fd, int linger_ms) {
    // Without a linger one look; with one, the first poll says whether
    // anything is there, which saves a look at an empty socket.
    if (linger_ms <= 0)
        return look_at_head(fd);
    if (buffered_head_complete())
        return next_request::arrived;
    next_request seen = next_request::not_yet;
    struct pollfd waits[2];
    waits[0].fd = fd;
    waits[0].events = POLLIN;
    waits[1].fd = g_keepalive_pipe[0];  // ignored by poll when -1
    waits[1].events = POLLIN;
    const int64_t deadline = monotonic_ns() + static_cast<int64_t>(linger_ms) * 1000000;
    while (seen == next_request::not_yet && !g_terminate_requested) {
        int64_t left_ms = (deadline - monotonic_ns()) / 1000000;
        if (left_ms <= 0)
            break;
        waits[0].revents = waits[1].revents = 0;
        int rc = poll(waits, 2, static_cast<int>(left_ms));
        if (rc < 0 && errno != EINTR)
            break;
        if (rc > 0 && waits[1].revents)
            break;  // a reload: the new workers take the next request
        if (rc > 0)
            seen = look_at_head(fd);
    }
    return seen;
}

void hand_to_keeper(int fd, int wait_limit_seconds, bool fresh) {
    handoff_header header;
    header.fresh = fresh ? 1 : 0;
    header.wait_limit_ms = wait_limit_seconds > 0 ? static_cast<int64_t>(wait_limit_seconds) * 1000 : -1;
    const char* buffered = nullptr;
    size_t held = readline_buffered(&buffered);
    handoff_result r;
    // The keeper drains the channel constantly; a full one is waited for
    // briefly, then the connection is given up rather than the worker.
    for (int tries = 0;; ++tries) {
        r = send_handoff(g_keeper_channel[1], fd, header, buffered, held);
        if (r != handoff_result::would_block || tries == 100)
            break;
        struct pollfd room = {g_keeper_channel[1], POLLOUT, 0};
        poll(&room, 1, 10);
    }
    if (r != handoff_result::done)
        vrx_log(log_level::error, "connection to the keeper: %s\n",
                r == handoff_result::would_block ? "channel full" : strerror(errno));
    readline_discard();
    close(fd);
}

void take_from_keeper(const std::string& head_bytes, long long ready_at_ns) {
    readline_discard();
    readline_preload(head_bytes.data(), head_bytes.size());
    if (traffic_counters* c = shared_counters())
        c->connection_wait.observe(static_cast<double>(monotonic_ns() - ready_at_ns) / 1e9);
}
