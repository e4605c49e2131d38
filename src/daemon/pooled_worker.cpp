#include "daemon/pooled_worker.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/connection_handoff.h"
#include "daemon/daemon_state.h"
#include "base/log.h"
#include "daemon/next_request.h"
#include "daemon/signals.h"
#include "base/socket_io.h"
#include "daemon/worker.h"
#include "base/worker_table.h"
#include "filters/host_list.h"
#include "monitoring/access_log.h"
#include "scan/vrx_client.h"
#include "settings/config_load.h"
#include "settings/icapd_config.h"

namespace {

// Accept failures that leave the listening socket usable: a moment without
// descriptors or memory, or (Linux) a network error of the one pending
// connection, which accept reports in its place.
bool accept_error_is_transient(int error) {
    switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case EPERM:
#ifdef ENONET
    case ENONET:
#endif
        return true;
    default:
        return false;
    }
}

bool accept_error_is_resource(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// One epoll set per worker: the listening socket and the keeper's end for
// ready connections, both exclusive so that a connection wakes one waiting
// worker rather than all of them, and the keep-alive pipe.
int make_wait_set() {
    int events = epoll_create1(EPOLL_CLOEXEC);
    bool added = events >= 0;
    for (int fd : {g_listen_fd, g_keeper_channel[1], g_keepalive_pipe[0]}) {
        struct epoll_event e = {};
        e.events = EPOLLIN | (fd == g_keepalive_pipe[0] ? 0u : static_cast<uint32_t>(EPOLLEXCLUSIVE));
        e.data.fd = fd;
        added = added && epoll_ctl(events, EPOLL_CTL_ADD, fd, &e) == 0;
    }
    if (!added) {
        vrx_log(log_level::error, "epoll: %s\n", strerror(errno));
        exit(1);
    }
    return events;
}

// Waits until a connection may be pending. False when the worker is to
// end: SIGTERM, or the parent closed the keep-alive pipe. Called with
// SIGTERM blocked: it is let in only while waiting (`wait_mask`), so that
// one sent just before the wait still ends it.
bool wait_for_connection(int events, const sigset_t* wait_mask) {
    for (;;) {
        if (g_terminate_requested)
            return false;
        struct epoll_event ready[3];
        int n = epoll_pwait(events, ready, 3, -1, wait_mask);
        if (g_terminate_requested)
            return false;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            vrx_log(log_level::error, "epoll_wait: %s\n", strerror(errno));
            return false;
        }
        for (int i = 0; i < n; ++i) {
            if (ready[i].data.fd == g_keepalive_pipe[0]) {
                vrx_log(log_level::wire, "parent close his descriptor (%i) -> shutdown\n", g_keepalive_pipe[0]);
                return false;
            }
        }
        return true;
    }
}

// A reload since the worker was forked: its configuration is outdated.
bool configuration_reloaded() {
    return worker_table_slot(static_cast<uint32_t>(g_worker_slot)).generation.load() !=
           worker_table()->generation.load();
}

// Half the spare workers taken (or the last one): the parent forks more now
// rather than when the next connection finds none, and is not woken for
// every connection.
void become_busy() {
    int32_t idle = worker_set_state(worker_state::busy);
    if (idle <= 0 || idle < (g_config.spare_workers + 1) / 2)
        wake_parent();
}

// A connection whose head the keeper has seen arrive, -1 when none waits,
// or -2 when the channel has no other end left (the daemon is gone).
int ready_connection() {
    handoff h;
    handoff_result r = receive_handoff(g_keeper_channel[1], &h);
    if (r == handoff_result::failed)
        vrx_log(log_level::error, "connection from the keeper: %s\n", strerror(errno));
    if (r == handoff_result::closed)
        return -2;
    if (r != handoff_result::done)
        return -1;
    become_busy();
    take_from_keeper(h.bytes, h.header.ready_at_ns);
    return h.fd;
}

// A new connection allowed by the client check, -1 when none is pending, or
// -2 when the listening socket failed for good.
int new_connection() {
    struct sockaddr_storage peer;
    socklen_t peer_length = sizeof peer;
    // Close-on-exec: the mail command started by a worker must not hold
    // the connection open.
    int connection = accept4(g_listen_fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
    if (connection < 0) {
        int error = errno;
        // None pending, another worker took it, or it was gone first.
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EPROTO || error == ECONNABORTED)
            return -1;
        vrx_log(log_level::error, "accept: %s\n", strerror(error));
        if (!accept_error_is_transient(error))
            return -2;
        if (accept_error_is_resource(error))
            usleep(100000);  // let descriptors or memory come back
        return -1;
    }
    become_busy();
    readline_discard();
    worker_count(connections_accepted);
    vrx_log(log_level::wire, "accepted connection %i\n", connection);
    if (!g_config.acl_hosts_list.empty() &&
        !acl_client_allowed(reinterpret_cast<struct sockaddr*>(&peer), peer_length, g_config.acl_hosts_list)) {
        close(connection);
        return -1;
    }
    set_connection_options(connection);
    return connection;
}

// The next connection with a request to serve, or -1 when the worker is to
// end. Ready connections from the keeper and new ones from the listening
// socket take turns, so that neither stream can starve the other. A
// pending connection is taken before waiting, so that a worker just done
// with one takes the next while it is still running (rather than the
// worker that has waited longest), as a serial client's reconnection would
// otherwise always wake another process. A new one whose first head does
// not follow at once goes to the keeper.
int next_connection(int events, const sigset_t* wait_mask) {
    static bool ready_first = true;
    for (;;) {
        worker_set_state(worker_state::idle);
        // After a reload an idle worker of the old configuration leaves
        // rather than take a connection the new workers are there for.
        if (g_terminate_requested || configuration_reloaded())
            return -1;
        ready_first = !ready_first;
        int connection = ready_first ? ready_connection() : -1;
        if (connection != -1)
            return connection < 0 ? -1 : connection;
        connection = new_connection();
        if (connection == -2)
            return -1;
        if (connection >= 0) {
            // No linger while others wait: a burst of new connections is
            // passed to the keeper at the pace of accept.
            int linger_ms = others_wait_for_a_worker() ? 0 : head_linger_ms;
            if (await_request_head(connection, linger_ms) != next_request::not_yet)
                return connection;
            hand_to_keeper(connection, g_config.timeout, true);
            continue;
        }
        connection = ready_first ? -1 : ready_connection();
        if (connection != -1)
            return connection < 0 ? -1 : connection;
        access_log_flush();
        if (!wait_for_connection(events, wait_mask))
            return -1;
    }
}

// After a connection: true when the worker is to end rather than wait for
// another one.
bool done_serving(int served) {
    if (g_config.max_connections_per_worker > 0 && served >= g_config.max_connections_per_worker) {
        vrx_log(log_level::wire, "served %i connections (MaxConnectionsPerWorker) -> exit\n", served);
        return true;
    }
    // Without spare workers a worker lives as long as its connection.
    return g_terminate_requested || configuration_reloaded() || g_config.spare_workers == 0;
}

}  // namespace

void worker_main(pid_t parent) {
    g_is_worker = 1;
    vrx_log(log_level::wire, "Start child process\n");
    // Without its parent nobody would stop or replace it: it leaves as on
    // SIGTERM (a parent already gone is seen in its pid).
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        exit(0);
    // The parent's ends: the wake pipe's read end, the keep-alive pipe's
    // write end (else the pipe would never close), the keeper's end of its
    // channel, its scanning-daemon connection.
    close(g_wake_pipe[0]);
    g_wake_pipe[0] = -1;
    close(g_keepalive_pipe[1]);
    g_keepalive_pipe[1] = -1;
    close_retired_keepalive_pipe();
    close(g_keeper_channel[0]);
    g_keeper_channel[0] = -1;
    close_fd_logged(&g_daemon_fd);
    set_signal(SIGCHLD, SIG_DFL, true);
    set_signal(SIGHUP, SIG_IGN, true);
    sigset_t all;
    sigfillset(&all);
    if (sigprocmask(SIG_UNBLOCK, &all, nullptr) != 0) {
        vrx_log(log_level::error, "Error in sigprocmask: %s\n", strerror(errno));
        exit(1);
    }
    int events = make_wait_set();
    sigset_t serving, waiting;
    sigemptyset(&serving);
    sigemptyset(&waiting);
    sigaddset(&waiting, SIGTERM);
    int served = 0;
    for (;;) {
        sigprocmask(SIG_SETMASK, &waiting, nullptr);
        int connection = next_connection(events, &serving);
        sigprocmask(SIG_SETMASK, &serving, nullptr);
        if (connection < 0)
            break;
        try {
            serve_client(connection);
        } catch (const std::exception& e) {
            vrx_log(log_level::error, "Error in client(): %s\n", e.what());
            exit(1);
        }
        if (done_serving(++served))
            break;
    }
    worker_set_state(worker_state::exiting);
    close(events);
    vrxid_release();
    exit(0);
}
