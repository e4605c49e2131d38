#include "daemon/startup.h"

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "daemon/accept_loop.h"
#include "daemon/connection_handoff.h"
#include "daemon/daemon_state.h"
#include "daemon/keeper_process.h"
#include "base/load_failure.h"
#include "base/log.h"
#include "base/stream_socket.h"
#include "daemon/service_notify.h"
#include "daemon/signals.h"
#include "daemon/worker_pool.h"
#include "request/request_state.h"
#include "monitoring/monitoring.h"
#include "settings/config_load.h"
#include "settings/icapd_config.h"

namespace {

void load_configuration(int argc, char** argv) {
    try {
        vrxid_init(argc, argv);
    } catch (const load_failure& e) {
        exit(e.status);  // its reason is logged where it was found
    } catch (const std::exception& e) {
        vrx_log(log_level::error, "Error in vrxid_init(): %s\n", e.what());
        if (g_config.check_only) {
            fprintf(stderr, "%s\n", e.what());
            fputs("Options ERROR\n", stdout);
        }
        exit(1);
    }
    if (g_config.check_only) {
        fputs("Options OK\n", stdout);
        exit(0);
    }
}

// The keeper holds up to MaxConnections descriptors. Raised while still
// root, when the hard limit may still grow; the processes forked later
// inherit the limit.
void raise_descriptor_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t needed = static_cast<rlim_t>(g_config.max_connections) + 256;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= needed)
        return;
    struct rlimit raised = limit;
    raised.rlim_cur = needed;
    if (raised.rlim_max != RLIM_INFINITY && raised.rlim_max < needed)
        raised.rlim_max = needed;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return;
    int error = errno;
    // Without the right to raise the hard limit, as far as it goes.
    raised.rlim_max = limit.rlim_max;
    raised.rlim_cur = limit.rlim_max;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed && setrlimit(RLIMIT_NOFILE, &raised) == 0)
        limit = raised;
    vrx_log(log_level::error,
            "Open file limit %u is below the %u descriptors MaxConnections (%i) needs: %s; connections beyond it "
            "are refused\n",
            static_cast<unsigned>(limit.rlim_cur), static_cast<unsigned>(needed), g_config.max_connections,
            strerror(error));
}

void drop_privileges() {
    // Groups first, while still root, so that no group of root is kept; a
    // daemon started by another user cannot change its groups and keeps them.
    bool as_root = geteuid() == 0;
    if ((as_root && (initgroups(g_config.user.c_str(), g_config.gid) != 0 || setgid(g_config.gid) != 0)) ||
        setuid(g_config.uid) != 0) {
        vrx_log(log_level::error, "failed to set privileges: %s\n", strerror(errno));
        exit(1);
    }
}

void daemonise() {
    log_before_fork();
    set_signal(SIGTTOU, SIG_IGN, true);
    set_signal(SIGTTIN, SIG_IGN, true);
    set_signal(SIGTSTP, SIG_IGN, true);
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        vrx_log(log_level::error, "rlimit error: %s\n", strerror(errno));
        exit(1);
    }
    pid_t pid = fork();
    if (pid < 0) {
        vrx_log(log_level::error, "fork: %s\n", strerror(errno));
        exit(1);
    }
    if (pid > 0)
        exit(0);
    setsid();

    int last = limit.rlim_max == RLIM_INFINITY ? 1024 : static_cast<int>(limit.rlim_max);
    for (int fd = 0; fd < last; ++fd)
        if (fd != log_target())
            close(fd);
    int null_in = open("/dev/null", O_RDONLY);
    int null_out = open("/dev/null", O_WRONLY);
    if (null_in < 0 || null_out < 0 || dup2(null_in, 0) < 0 || dup2(null_out, 1) < 0 ||
        dup2(null_out, 2) < 0 || chdir("/") != 0)
        exit(2);
    if (null_in > 2)
        close(null_in);
    if (null_out > 2)
        close(null_out);

    log_after_fork();
    if (log_give_to(g_config.uid, g_config.gid) != 0) {
        perror("failed change owner for log file");
        exit(3);
    }
    drop_privileges();
}

void open_listening_socket() {
    const char* address = g_config.bind_address.c_str();
    const char* port = g_config.bind_port.c_str();
    // Bursts of connections wait here for a worker: the kernel caps the
    // queue at its own maximum (net.core.somaxconn).
    listen_failure failure;
    g_listen_fd = listen_on(address, port, INT_MAX, false, failure);
    if (g_listen_fd >= 0)
        return;
    switch (failure.step) {
    case listen_step::resolve:
        vrx_log(log_level::error, "getaddrinfo error for %s, %s: %s\n", address, port, gai_strerror(failure.error));
        exit(2);
    case listen_step::option:
        vrx_log(log_level::error, "setsockopt: %s\n", strerror(failure.error));
        exit(1);
    case listen_step::bind:
        vrx_log(log_level::error, "tcp_listen error for %s, %s: %s\n", address, port, strerror(failure.error));
        exit(3);
    case listen_step::listen:
        vrx_log(log_level::error, "listen: %s\n", strerror(failure.error));
        exit(1);
    }
}

void write_pid_file() {
    FILE* file = fopen(g_config.pid_file.c_str(), "w+");
    if (!file) {
        vrx_log(log_level::error, "error in open pid file %s: %s\n", g_config.pid_file.c_str(), strerror(errno));
        return;
    }
    fprintf(file, "%i", static_cast<int>(getpid()));
    if (fclose(file) != 0)
        vrx_log(log_level::error, "pid file error: %s\n", strerror(errno));
}

void signal_readiness() {
    const char ready = ' ';
    for (;;) {
        ssize_t n = write(STDOUT_FILENO, &ready, 1);
        if (n == 1)
            return;
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        vrx_log(log_level::error, "error incommunicate with monitor: %s\n", strerror(errno));
        exit(1);
    }
}

void set_listen_non_blocking() {
    int flags = fcntl(g_listen_fd, F_GETFL);
    if (flags < 0) {
        vrx_log(log_level::error, "fcntl: error getting flags for fd %i: %s\n", g_listen_fd, strerror(errno));
    } else if (flags & O_NONBLOCK) {
        vrx_log(log_level::wire, "fcntl: O_NONBLOCK is already set for fd %i\n", g_listen_fd);
        return;
    } else if (fcntl(g_listen_fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        vrx_log(log_level::error, "fcntl: error setting O_NONBLOCK flag for fd %i: %s\n", g_listen_fd,
                strerror(errno));
    } else {
        vrx_log(log_level::wire, "fcntl: successfully set O_NONBLOCK for fd %i\n", g_listen_fd);
        return;
    }
    vrx_log(log_level::error, "Error setting O_NONBLOCK for listening socket\n");
    exit(1);
}

}  // namespace

int vorex_icapd_main(int argc, char** argv) {
    if (!setlocale(LC_ALL, "")) {
        vrx_log(log_level::error, "error in setlocale(): %s\n", strerror(errno));
        exit(1);
    }
    install_timeout_handler();
    load_configuration(argc, argv);
    raise_descriptor_limit();
    if (!g_config.monitor && getppid() != 1)
        daemonise();
    open_listening_socket();
    write_pid_file();
    query_virus_bases();
    install_parent_signals();
    g_request.reset();
    // Also without KeepAlive: idle workers of the pool wait on it.
    open_keepalive_pipe();
    set_listen_non_blocking();
    open_keeper_channel();
    pool_create();
    // Before the first worker, after the worker table: the metrics process
    // reads it, and workers count into the counters.
    monitoring_start();
    keeper_start();
    if (g_config.monitor)
        signal_readiness();
    service_notify_ready();
    return accept_loop();
}
