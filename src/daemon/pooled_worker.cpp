#include "daemon/pooled_worker.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/daemon_state.h"
#include "daemon/log.h"
#include "daemon/signals.h"
#include "daemon/worker.h"
#include "daemon/worker_table.h"
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

// One epoll set per worker: the listening socket, exclusive so that a
// connection wakes one waiting worker rather than all of them, and the
// keep-alive pipe.
int make_wait_set() {
    int events = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event listen_event = {};
    listen_event.events = EPOLLIN | EPOLLEXCLUSIVE;
    listen_event.data.fd = g_listen_fd;
    struct epoll_event pipe_event = {};
    pipe_event.events = EPOLLIN;
    pipe_event.data.fd = g_keepalive_pipe[0];
    if (events < 0 || epoll_ctl(events, EPOLL_CTL_ADD, g_listen_fd, &listen_event) != 0 ||
        epoll_ctl(events, EPOLL_CTL_ADD, g_keepalive_pipe[0], &pipe_event) != 0) {
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
        struct epoll_event ready[2];
        int n = epoll_pwait(events, ready, 2, -1, wait_mask);
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

// The next connection allowed by the client check, or -1 when the worker
// is to end. A pending connection is taken before waiting, so that a worker
// just done with one takes the next while it is still running (rather than
// the worker that has waited longest), as a serial client's reconnection
// would otherwise always wake another process.
// A reload since the worker was forked: its configuration is outdated.
bool configuration_reloaded() {
    return worker_table_slot(static_cast<uint32_t>(g_worker_slot)).generation.load() !=
           worker_table()->generation.load();
}

int next_connection(int events, const sigset_t* wait_mask) {
    for (;;) {
        worker_set_state(worker_state::idle);
        // After a reload an idle worker of the old configuration leaves
        // rather than take a connection the new workers are there for.
        if (g_terminate_requested || configuration_reloaded())
            return -1;
        struct sockaddr_storage peer;
        socklen_t peer_length = sizeof peer;
        // Close-on-exec: the mail command started by a worker must not hold
        // the connection open.
        int connection = accept4(g_listen_fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
        if (connection < 0) {
            int error = errno;
            // None pending, another worker took it, or it was gone first.
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EPROTO || error == ECONNABORTED) {
                access_log_flush();
                if (!wait_for_connection(events, wait_mask))
                    return -1;
                continue;
            }
            vrx_log(log_level::error, "accept: %s\n", strerror(error));
            if (!accept_error_is_transient(error))
                return -1;
            if (accept_error_is_resource(error))
                usleep(100000);  // let descriptors or memory come back
            continue;
        }
        // Half the spare workers taken (or the last one): the parent forks
        // more now rather than when the next connection finds none, and is
        // not woken for every connection.
        int32_t idle = worker_set_state(worker_state::busy);
        if (idle <= 0 || idle < (g_config.spare_workers + 1) / 2)
            wake_parent();
        worker_count(connections_accepted);
        if (!g_config.acl_hosts_list.empty() &&
            !acl_client_allowed(reinterpret_cast<struct sockaddr*>(&peer), peer_length, g_config.acl_hosts_list)) {
            close(connection);
            continue;
        }
        return connection;
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
    // write end (else the pipe would never close), its scanning-daemon
    // connection.
    close(g_wake_pipe[0]);
    g_wake_pipe[0] = -1;
    close(g_keepalive_pipe[1]);
    g_keepalive_pipe[1] = -1;
    close_retired_keepalive_pipe();
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
