#include "daemon/worker.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/daemon_state.h"
#include "daemon/log.h"
#include "daemon/signals.h"
#include "daemon/socket_io.h"
#include "icap/icap_handle.h"
#include "icap/icap_head.h"
#include "icap/request_state.h"
#include "scan/file_with_path.h"
#include "scan/scan_report.h"
#include "settings/config_load.h"
#include "settings/icapd_config.h"

namespace {

// Nothing of one request may reach the next: its state, the scanner's report
// lines, the quarantine name shown on pages, and the path of its body file
// (gone with the request), which a later SIGTERM must not remove.
void reset_request() {
    g_request.reset();
    g_last_temp_file.clear();
    greport.report.clear();
    quarantine_name_reset();
}

// Waits for the next request or the parent's signal; false ends the worker.
bool wait_next_request(int fd) {
    int pipe_fd = g_keepalive_pipe[0];
    vrx_log(log_level::wire, "Going for infinitely waiting for %i (%i/%i) descriptor...\n", fd,
            fd > pipe_fd ? fd : pipe_fd, pipe_fd);
    struct pollfd waits[2];
    waits[0].fd = fd;
    waits[0].events = POLLIN;
    waits[1].fd = pipe_fd;  // ignored by poll when -1
    waits[1].events = POLLIN;
    int rc;
    do {
        waits[0].revents = waits[1].revents = 0;
        rc = poll(waits, 2, -1);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        vrx_log(log_level::error, "error in select: %s\n", strerror(errno));
        return false;
    }
    if (waits[1].revents) {
        vrx_log(log_level::wire, "parent close his descriptor (%i) -> shutdown\n", pipe_fd);
        return false;
    }
    char byte;
    ssize_t n;
    do {
        n = recv(fd, &byte, 1, MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        vrx_log(log_level::wire, "ICAP client %s connection -> exit from process\n", n < 0 ? "reset" : "close");
        return false;
    }
    return true;
}

}  // namespace

void serve_connection(int* fd) {
    readline_discard();
    bool close_requested = false;
    bool bad_request = false;
    for (;;) {
        g_request.start_time = time(nullptr);
        int code = icap_read_head(fd);
        vrx_log(log_level::debug, "Gotta handle request, respcode: %i; (preview=%i)\n", code, g_request.preview);
        if (code == 1)
            code = icap_handle(fd);
        // A request that failed or sent nothing may leave its alarm armed,
        // and the wait for the next one has no time limit.
        alarm(0);
        if (code == 200) {
            vrx_log(log_level::debug, "Request handled\n");
        } else {
            send_error_msg(fd, code);
            vrx_log(log_level::debug, "Request handled with error\n");
        }
        bad_request = code == 400;
        close_requested = g_request.close_requested;
        g_request.entities.clear();
        if (*fd < 0 || !g_config.keep_alive || close_requested || bad_request)
            break;
        reset_request();
        // Ended by the client or the parent while waiting: no exit cycle.
        if (readline_empty() && !wait_next_request(*fd))
            return;
    }
    vrx_log(log_level::wire, "exit cycle: %i %i %i %i\n", *fd, g_config.keep_alive ? 1 : 0, close_requested ? 1 : 0,
            bad_request ? 1 : 0);
    reset_request();
}

void client(int fd) {
    g_is_worker = 1;
    vrx_log(log_level::wire, "Start child process\n");
    set_signal(SIGCHLD, SIG_DFL, true);
    set_signal(SIGHUP, SIG_IGN, true);
    sigset_t all;
    sigfillset(&all);
    if (sigprocmask(SIG_UNBLOCK, &all, nullptr) != 0) {
        vrx_log(log_level::error, "Error in sigprocmask: %s\n", strerror(errno));
        exit(1);
    }
    if (g_config.keep_alive) {
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
            vrx_log(log_level::error, "setsockopt: %s\n", strerror(errno));
    }
    serve_connection(&fd);
    vrxid_release();
    if (fd >= 0)
        close(fd);
    exit(0);
}
