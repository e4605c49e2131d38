#include "daemon/connection_keeper.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "daemon/connection_handoff.h"
#include "daemon/daemon_state.h"
#include "daemon/deadline_lists.h"
#include "base/inherited_fds.h"
#include "base/log.h"
#include "base/monotonic_clock.h"
#include "daemon/request_head.h"
#include "daemon/signals.h"
#include "base/worker_table.h"
#include "monitoring/traffic_counters.h"

namespace {

// A connection the keeper watches for its next head. Indexed by descriptor:
// descriptors are small and dense, and an idle connection costs this slot,
// its epoll entry and a deadline link, nothing more.
struct held_connection {
    bool held = false;
    std::string prefix;  // head bytes the worker had read already (rare)
};

struct ready_connection {
    int fd;
    int64_t ready_at;
    std::string bytes;
};

class keeper {
public:
    explicit keeper(int channel) : channel_(channel) {
        events_ = epoll_create1(EPOLL_CLOEXEC);
        struct epoll_event e = {};
        e.events = EPOLLIN;
        e.data.fd = channel_;
        if (events_ < 0 || epoll_ctl(events_, EPOLL_CTL_ADD, channel_, &e) != 0) {
            vrx_log(log_level::error, "keeper: epoll: %s\n", strerror(errno));
            exit(1);
        }
    }

    void run(const sigset_t* wait_mask) {
        struct epoll_event ready[256];
        while (!g_terminate_requested) {
            int n = epoll_pwait(events_, ready, 256, next_timeout_ms(), wait_mask);
            if (n < 0 && errno != EINTR) {
                vrx_log(log_level::error, "keeper: epoll_wait: %s\n", strerror(errno));
                exit(1);
            }
            for (int i = 0; i < n; ++i) {
                if (ready[i].data.fd == channel_) {
                    if (ready[i].events & EPOLLOUT)
                        channel_full_ = false;
                    if ((ready[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) && !take_handed_over())
                        return;  // every other end is closed: the daemon is gone
                } else {
                    look_at(ready[i].data.fd, (ready[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0);
                }
            }
            expire(monotonic_ns());
            dispatch();
        }
    }

private:
    int channel_;
    int events_ = -1;
    std::vector<held_connection> held_;
    deadline_lists deadlines_;  // monotonic_ns()
    std::deque<ready_connection> ready_;
    bool channel_full_ = false;   // the last send found no room
    bool room_watched_ = false;   // EPOLLOUT is in the channel's events
    int64_t count_ = 0;  // held and ready

    void publish_count() {
        if (traffic_counters* c = shared_counters())
            c->connections_held.store(count_, std::memory_order_relaxed);
    }

    // Takes every connection handed over; false once the channel has no
    // other end left.
    bool take_handed_over() {
        for (;;) {
            handoff h;
            handoff_result r = receive_handoff(channel_, &h);
            if (r == handoff_result::would_block)
                return true;
            if (r == handoff_result::closed)
                return false;
            if (r == handoff_result::failed) {
                if (errno == EPROTO)
                    continue;  // a message that was no connection: dropped
                vrx_log(log_level::error, "keeper: recvmsg: %s\n", strerror(errno));
                exit(1);
            }
            hold(h);
        }
    }

    void hold(handoff& h) {
        const worker_table_header* table = worker_table();
        int64_t most = table ? table->max_connections.load(std::memory_order_relaxed) : 0;
        // A connection back from a worker is open anyway and stays: only new
        // ones are refused, so the count exceeds the bound by at most the
        // workers.
        if (h.header.fresh && most > 0 && count_ >= most) {
            close(h.fd);
            if (traffic_counters* c = shared_counters())
                c->connections_refused.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (static_cast<size_t>(h.fd) >= held_.size())
            held_.resize(static_cast<size_t>(h.fd) + 1024);
        held_connection& slot = held_[static_cast<size_t>(h.fd)];
        slot.held = true;
        slot.prefix = std::move(h.bytes);
        if (h.header.wait_limit_ms >= 0)
            deadlines_.add(h.fd, h.header.wait_limit_ms * 1000000, monotonic_ns());
        ++count_;
        publish_count();
        // Handed back with its next head read already (pipelined, or a
        // worker that gave its turn): ready at once.
        if (!slot.prefix.empty() && request_head_complete(slot.prefix.data(), slot.prefix.size())) {
            make_ready(h.fd);
            return;
        }
        // Edge-triggered: the keeper only peeks at the head, so the bytes
        // stay unread and a level-triggered watch would fire again at once.
        // Adding a descriptor that has bytes already reports them.
        struct epoll_event e = {};
        e.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        e.data.fd = h.fd;
        if (epoll_ctl(events_, EPOLL_CTL_ADD, h.fd, &e) != 0) {
            vrx_log(log_level::error, "keeper: epoll_ctl: %s\n", strerror(errno));
            release(h.fd);
        }
    }

    // Stops watching a connection and closes it.
    void release(int fd) {
        forget(fd);
        close(fd);
    }

    // Stops watching a connection that stays open (it goes to a worker).
    void forget(int fd) {
        held_connection& slot = held_[static_cast<size_t>(fd)];
        epoll_ctl(events_, EPOLL_CTL_DEL, fd, nullptr);
        deadlines_.remove(fd);
        slot.held = false;
        slot.prefix.clear();
        slot.prefix.shrink_to_fit();
        --count_;
        publish_count();
    }

    // The head so far: complete, the client closed, or it still comes.
    // `hung_up`: the client sent its last byte, so no later event comes.
    void look_at(int fd, bool hung_up) {
        if (static_cast<size_t>(fd) >= held_.size() || !held_[static_cast<size_t>(fd)].held)
            return;
        held_connection& slot = held_[static_cast<size_t>(fd)];
        static char peeked[request_head_limit];
        size_t room = request_head_limit - std::min(slot.prefix.size(), request_head_limit);
        ssize_t n;
        do {
            n = recv(fd, peeked, room, MSG_PEEK | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0 || (n == 0 && slot.prefix.empty())) {
            release(fd);  // reset, or closed while idle: no worker needed
            return;
        }
        // A client that closed after part of a head gets what the worker's
        // reader makes of it, as it would have without the keeper.
        bool whole = n == 0 || room == 0 || hung_up;
        if (!whole) {
            std::string head = slot.prefix;
            head.append(peeked, static_cast<size_t>(n));
            whole = request_head_complete(head.data(), head.size());
        }
        if (whole)
            make_ready(fd);
    }

    // From watched to the queue of connections waiting for a worker.
    void make_ready(int fd) {
        std::string bytes = std::move(held_[static_cast<size_t>(fd)].prefix);
        forget(fd);
        ready_.push_back({fd, monotonic_ns(), std::move(bytes)});
        ++count_;
        publish_count();
    }

    // Ready connections go to the workers' end in order; a full channel
    // keeps the rest here until it has room.
    void dispatch() {
        while (!ready_.empty() && !channel_full_) {
            ready_connection& next = ready_.front();
            handoff_header header;
            header.ready_at_ns = next.ready_at;
            handoff_result r = send_handoff(channel_, next.fd, header, next.bytes.data(), next.bytes.size());
            if (r == handoff_result::would_block) {
                channel_full_ = true;
                break;
            }
            if (r == handoff_result::failed)
                vrx_log(log_level::error, "keeper: sendmsg: %s\n", strerror(errno));
            else if (traffic_counters* c = shared_counters())
                c->connection_handoffs.fetch_add(1, std::memory_order_relaxed);
            close(next.fd);
            ready_.pop_front();
            --count_;
            publish_count();
        }
        watch_channel_room(channel_full_);
    }

    // EPOLLOUT only while a send waits for room: the channel is writable
    // nearly always, and a level-triggered watch would wake the loop at once.
    void watch_channel_room(bool on) {
        if (on == room_watched_)
            return;
        room_watched_ = on;
        struct epoll_event e = {};
        e.events = EPOLLIN | (on ? EPOLLOUT : 0u);
        e.data.fd = channel_;
        epoll_ctl(events_, EPOLL_CTL_MOD, channel_, &e);
    }

    void expire(int64_t now) {
        for (int fd; (fd = deadlines_.take_expired(now)) >= 0;)
            release(fd);
    }

    int next_timeout_ms() const {
        int64_t first = deadlines_.earliest();
        if (first < 0)
            return -1;
        int64_t ms = (first - monotonic_ns()) / 1000000 + 1;
        return ms < 0 ? 0 : ms > 60000 ? 60000 : static_cast<int>(ms);
    }
};

}  // namespace

void keeper_main(pid_t parent, int started) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(0);
    // Its own name in ps and top: it is the process that holds the idle
    // connections.
    prctl(PR_SET_NAME, "vorex-keeper");
    close(started);
    int channel = g_keeper_channel[0];
    close_inherited(channel);
    g_keeper_channel[0] = g_keeper_channel[1] = -1;
    g_listen_fd = -1;
    g_keepalive_pipe[0] = g_keepalive_pipe[1] = -1;
    g_wake_pipe[0] = g_wake_pipe[1] = -1;
    set_signal(SIGHUP, SIG_IGN, true);
    set_signal(SIGCHLD, SIG_DFL, true);
    // SIGTERM is let in only while waiting, so that one sent just before the
    // wait still ends the loop.
    sigset_t blocked, wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    sigemptyset(&wait_mask);
    vrx_log(log_level::wire, "Start connection keeper\n");
    keeper k(channel);
    k.run(&wait_mask);
    // Exiting closes every connection held.
    _exit(0);
}
