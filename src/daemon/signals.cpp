#include "daemon/signals.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "daemon/daemon_state.h"
#include "base/log.h"
#include "daemon/service_notify.h"
#include "icap/request_deadline.h"
#include "request/request_state.h"
#include "request/spool_files.h"
#include "monitoring/access_log.h"
#include "settings/icapd_config.h"

namespace {

// Handlers use async-signal-safe calls only: the strings below are read,
// never changed, and the log line is built without allocation.
void shutdown_routine_async() {
    if (g_is_worker) {
        access_log_flush_async();
        spool_files_remove_all();
        return;
    }
    for (int end : g_keepalive_pipe)
        if (end >= 0)
            close(end);
    unlink(g_config.pid_file.c_str());
    vrx_log_async(log_level::info, "Vorex (R) icapd shutdown\n");
}

void on_alarm(int) {
    if (body_deadline_defer_alarm())
        return;
    const char* url = g_request.url.empty() ? "?" : g_request.url.c_str();
    vrx_log_async(log_level::error, "timeout error in ipc (timeout=%i; url=%s)\n", g_config.timeout, url);
    shutdown_routine_async();
    _exit(13);
}

// The parent sees SIGTERM only inside pselect and shuts down in its loop.
// A worker finishes the request in hand and then ends (an idle one at
// once, since its waits are interrupted); a second SIGTERM ends it here.
void on_term(int) {
    if (g_is_worker && g_terminate_requested) {
        shutdown_routine_async();
        _exit(0);
    }
    g_terminate_requested = g_terminate_requested + 1;
}

void on_hup(int) { g_reload_requested = 1; }

// Only interrupts the parent's pselect: the loop reaps and replaces workers.
void on_child(int) {}

}  // namespace

void set_signal(int signal_number, void (*handler)(int), bool restart) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NOCLDSTOP | (restart ? SA_RESTART : 0);
    if (sigaction(signal_number, &action, nullptr) != 0) {
        perror("sigaction");
        exit(1);
    }
}

void install_timeout_handler() { set_signal(SIGALRM, on_alarm, true); }

void install_parent_signals() {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0) {
        vrx_log(log_level::error, "Error in sigprocmask: %s\n", strerror(errno));
        exit(1);
    }
    set_signal(SIGHUP, on_hup, false);
    set_signal(SIGCHLD, on_child, true);
    set_signal(SIGPIPE, SIG_IGN, true);
    set_signal(SIGTERM, on_term, true);
}

void parent_shutdown() {
    service_notify_stopping();
    close_keepalive_pipe();
    unlink(g_config.pid_file.c_str());
    vrx_log(log_level::info, "Vorex (R) icapd shutdown\n");
}
