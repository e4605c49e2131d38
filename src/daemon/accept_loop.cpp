#include "daemon/accept_loop.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <sys/select.h>
#include <unistd.h>

#include "daemon/connection_handoff.h"
#include "daemon/daemon_state.h"
#include "daemon/keeper_process.h"
#include "daemon/lock_cleaner.h"
#include "base/log.h"
#include "daemon/service_notify.h"
#include "daemon/signals.h"
#include "daemon/worker_pool.h"
#include "scan/engine_version.h"
#include "scan/scan_engine.h"
#include "monitoring/monitoring.h"
#include "scan/vrx_client.h"
#include "settings/config_load.h"
#include "settings/icapd_config.h"

namespace {

time_t g_last_cleaning = 0;

// Seconds busy workers get to finish their request at shutdown.
constexpr time_t shutdown_grace = 10;

void maybe_clean_lock_files(time_t now) {
    if (!(g_config.send_mail || g_config.send_mail_uwl_block) || g_config.mail_cache == 0)
        return;
    time_t period = g_config.mail_cache < 10 ? g_config.mail_cache : 10;
    if (period + g_last_cleaning >= now)
        return;
    if (fork() == 0) {
        // Holding no copy of the pipes' ends, it cannot delay a reload.
        close(g_listen_fd);
        close_keepalive_pipe();
        close(g_wake_pipe[0]);
        close(g_wake_pipe[1]);
        close_keeper_channel();
        clean_lock_files(now);
    }
    g_last_cleaning = now;
}

// A reload that fails keeps everything in force: settings, lists, category
// files, the log, and the keep-alive pipe, so idle workers stay. One that
// succeeds starts workers of the new configuration, then closes the old
// pipe, which ends the idle workers of the old one; busy ones finish their
// connection and end, and the pool fills with workers of the new one.
void reload() {
    if (!g_reload_requested)
        return;
    g_reload_requested = 0;
    vrx_log(log_level::info, "Received SIGHUP signal\n");
    service_notify_reloading();
    try {
        vrxid_init(-1, nullptr);
    } catch (const std::exception& e) {
        vrx_log(log_level::error, "Error in vrxid_init(): %s\n", e.what());
        vrx_log(log_level::error, "Reload failed: the previous configuration stays in force\n");
        monitoring_reloaded(false);
        service_notify_ready();
        return;
    }
    close_fd_logged(&g_daemon_fd);
    // The generation first: a worker that ends a connection now sees it
    // and leaves instead of taking another one. The new generation's
    // workers start on a pipe of their own before the old pipe closes, so
    // that there is no moment without a worker; the engine is asked last,
    // so that a slow one leaves no connection waiting for a worker.
    pool_new_generation();
    pool_settings_loaded();
    // Before the fork of new workers, which take the access log it opens,
    // and before the pipe is set aside, so that a new metrics process holds
    // no end of it.
    monitoring_reloaded(true);
    retire_keepalive_pipe();
    open_keepalive_pipe();
    pool_start_generation();
    close_retired_keepalive_pipe();
    query_virus_bases();
    service_notify_ready();
}

// SIGTERM: the pid file goes and idle workers end at once (their pipe
// closes); busy workers finish the request in hand. A second SIGTERM, or
// shutdown_grace seconds, ends the rest; whatever is left a second later is
// killed.
[[noreturn]] void shut_down() {
    parent_shutdown();
    pool_signal_all(SIGTERM);
    keeper_signal(SIGTERM);
    sigset_t wait_mask;
    sigemptyset(&wait_mask);
    const time_t deadline = time(nullptr) + shutdown_grace;
    time_t kill_at = 0;
    for (;;) {
        pool_reap();
        if (pool_size() == 0 && !keeper_signal(0))
            exit(0);
        time_t now = time(nullptr);
        if (kill_at == 0 && (g_terminate_requested > 1 || now >= deadline)) {
            vrx_log(log_level::error, "shutdown: %u workers still busy%s; they are ended\n", pool_size(),
                    keeper_signal(0) ? ", the connection keeper still runs" : "");
            pool_signal_all(SIGTERM);
            keeper_signal(SIGTERM);
            kill_at = now + 1;
        } else if (kill_at != 0 && now > kill_at) {
            pool_signal_all(SIGKILL);
            keeper_signal(SIGKILL);
        }
        struct timespec pause = {0, 100000000};
        pselect(0, nullptr, nullptr, nullptr, &pause, &wait_mask);
    }
}

}  // namespace

void query_virus_bases() {
    // Mapped at start even without scanning, so that a reload that turns
    // scanning on only marks the number stale: a worker asks, after its
    // next reply.
    engine_version_loaded();
    if (!scanning_configured())
        vrx_log(log_level::info, "Virus check disabled\n");
    close_fd_logged(&g_daemon_fd);
}

int accept_loop() {
    sigset_t wait_mask;
    sigemptyset(&wait_mask);
    for (;;) {
        maybe_clean_lock_files(time(nullptr));
        if (g_terminate_requested)
            shut_down();
        reload();
        pool_reap();
        keeper_maintain();
        monitoring_tick();
        bool watch_arrivals = pool_maintain();

        // Workers take the connections; the parent wakes when they run
        // short, when one ends, on a signal, or once a second. With no
        // worker ready it watches the listening socket and the keeper's
        // ready connections, and forks a worker for one that waits.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(pool_wake_fd(), &readable);
        int top = pool_wake_fd();
        if (watch_arrivals) {
            for (int fd : {g_listen_fd, g_keeper_channel[1]}) {
                FD_SET(fd, &readable);
                top = fd > top ? fd : top;
            }
        }
        struct timespec tick = {1, 0};
        int ready = pselect(top + 1, &readable, nullptr, nullptr, &tick, &wait_mask);
        if (ready < 0) {
            if (errno != EINTR) {
                vrx_log(log_level::error, "pselect: %s\n", strerror(errno));
                unlink(g_config.pid_file.c_str());
                return 0;
            }
            vrx_log(log_level::wire, "Signal received while waiting for connection\n");
            continue;
        }
        if (ready > 0 && FD_ISSET(pool_wake_fd(), &readable))
            pool_drain_wake();
        if (ready > 0 && watch_arrivals &&
            (FD_ISSET(g_listen_fd, &readable) || FD_ISSET(g_keeper_channel[1], &readable)))
            pool_fork_for_connection();
    }
}
