#include "daemon/accept_loop.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/daemon_state.h"
#include "daemon/lock_cleaner.h"
#include "daemon/log.h"
#include "daemon/signals.h"
#include "daemon/worker.h"
#include "filters/host_list.h"
#include "scan/vrx_client.h"
#include "settings/config_load.h"
#include "settings/icapd_config.h"

namespace {

time_t g_last_cleaning = 0;

void maybe_clean_lock_files(time_t now) {
    if (!(g_config.send_mail || g_config.send_mail_uwl_block) || g_config.mail_cache == 0)
        return;
    time_t period = g_config.mail_cache < 10 ? g_config.mail_cache : 10;
    if (period + g_last_cleaning >= now)
        return;
    if (fork() == 0) {
        // Holding no copy of the pipe's write end, it cannot delay a reload.
        close(g_listen_fd);
        close_keepalive_pipe();
        clean_lock_files(now);
    }
    g_last_cleaning = now;
}

// A reload that fails keeps everything in force: settings, lists, category
// files, the log, and the keep-alive pipe, so idle workers stay.
void reload() {
    if (!g_reload_requested)
        return;
    g_reload_requested = 0;
    vrx_log(log_level::info, "Received SIGHUP signal\n");
    try {
        vrxid_init(-1, nullptr);
    } catch (const std::exception& e) {
        vrx_log(log_level::error, "Error in vrxid_init(): %s\n", e.what());
        vrx_log(log_level::error, "Reload failed: the previous configuration stays in force\n");
        return;
    }
    close_fd_logged(&g_daemon_fd);
    // Idle workers hold the read end: closing ours makes them leave.
    close_keepalive_pipe();
    if (g_config.keep_alive)
        open_keepalive_pipe();
    query_virus_bases();
}

// Starts a worker for the accepted connection.
void start_worker(int connection) {
    pid_t pid = fork();
    if (pid < 0) {
        vrx_log(log_level::error, "fork: %s\n", strerror(errno));
        return;
    }
    if (pid == 0) {
        close(g_listen_fd);
        if (g_keepalive_pipe[1] >= 0)
            close(g_keepalive_pipe[1]);
        g_keepalive_pipe[1] = -1;
        close_fd_logged(&g_daemon_fd);
        try {
            client(connection);
        } catch (const std::exception& e) {
            vrx_log(log_level::error, "Error in client(): %s\n", e.what());
            exit(1);
        }
    }
}

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

}  // namespace

void query_virus_bases() {
    if (!g_config.daemon_addresses.empty())
        vrx_get_virus_num(&g_daemon_fd);
    else
        vrx_log(log_level::info, "Virus check disabled\n");
    close_fd_logged(&g_daemon_fd);
}

int accept_loop() {
    sigset_t wait_mask;
    sigemptyset(&wait_mask);
    for (;;) {
        time_t now = time(nullptr);
        maybe_clean_lock_files(now);

        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(g_listen_fd, &readable);
        if (pselect(g_listen_fd + 1, &readable, nullptr, nullptr, nullptr, &wait_mask) < 0) {
            if (errno != EINTR) {
                vrx_log(log_level::error, "pselect: %s\n", strerror(errno));
                unlink(g_config.pid_file.c_str());
                return 0;
            }
            vrx_log(log_level::wire, "Signal received while waiting for connection\n");
            if (g_terminate_requested) {
                parent_shutdown();
                exit(0);
            }
            reload();
            continue;
        }

        struct sockaddr_storage peer;
        socklen_t peer_length = sizeof peer;
        // Close-on-exec: the mail command started by a worker must not hold the
        // connection open.
        int connection = accept4(g_listen_fd, reinterpret_cast<struct sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
        if (connection < 0) {
            int error = errno;
            if (error == EINTR || error == EPROTO || error == ECONNABORTED)
                continue;
            vrx_log(log_level::error, "accept: %s\n", strerror(error));
            if (accept_error_is_transient(error)) {
                if (accept_error_is_resource(error))
                    usleep(100000);  // let descriptors or memory come back
                continue;
            }
            unlink(g_config.pid_file.c_str());
            return 0;
        }
        if (!g_config.acl_hosts_list.empty() &&
            !acl_client_allowed(reinterpret_cast<struct sockaddr*>(&peer), peer_length, g_config.acl_hosts_list)) {
            close(connection);
            continue;
        }
        start_worker(connection);
        close(connection);
    }
}
