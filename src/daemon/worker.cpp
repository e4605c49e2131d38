#include "daemon/worker.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/daemon_state.h"
#include "daemon/log.h"
#include "daemon/socket_io.h"
#include "daemon/worker_table.h"
#include "icap/icap_handle.h"
#include "icap/icap_head.h"
#include "icap/request_state.h"
#include "monitoring/access_log.h"
#include "monitoring/monitoring.h"
#include "scan/scan_report.h"
#include "scan/vrx_verdict.h"
#include "settings/icapd_config.h"

namespace {

// Nothing of one request may reach the next: its state, the scanner's report
// lines, the action text and quarantine name shown on pages, and the path of
// its body file (gone with the request), which a later SIGTERM must not
// remove.
void reset_request() {
    g_request.reset();
    g_last_temp_file.clear();
    greport.report.clear();
    verdict_reset();
}

// Milliseconds an idle keep-alive connection may wait; -1 without limit.
int keep_alive_wait_ms() {
    int64_t ms = static_cast<int64_t>(g_config.keep_alive_timeout) * 1000;
    if (ms <= 0)
        return -1;
    return ms < INT_MAX ? static_cast<int>(ms) : INT_MAX;
}

// Waits for the next request. False ends the connection: the client closed
// it, it stayed idle for KeepAliveTimeout, the parent closed the keep-alive
// pipe (reload, shutdown) or SIGTERM came. A request that has arrived is
// served even when the pipe closed at the same moment: its connection was
// accepted under the configuration it is served with.
bool wait_next_request(int fd) {
    int pipe_fd = g_keepalive_pipe[0];
    vrx_log(log_level::wire, "Going for infinitely waiting for %i (%i/%i) descriptor...\n", fd,
            fd > pipe_fd ? fd : pipe_fd, pipe_fd);
    worker_set_state(worker_state::waiting);
    access_log_flush();
    struct pollfd waits[2];
    waits[0].fd = fd;
    waits[0].events = POLLIN;
    waits[1].fd = pipe_fd;  // ignored by poll when -1
    waits[1].events = POLLIN;
    int rc;
    do {
        waits[0].revents = waits[1].revents = 0;
        rc = poll(waits, 2, keep_alive_wait_ms());
    } while (rc < 0 && errno == EINTR && !g_terminate_requested);
    if (g_terminate_requested) {
        vrx_log(log_level::wire, "SIGTERM received -> shutdown\n");
        return false;
    }
    if (rc < 0) {
        vrx_log(log_level::error, "error in select: %s\n", strerror(errno));
        return false;
    }
    if (rc == 0) {
        vrx_log(log_level::debug, "ICAP client idle for %i seconds (KeepAliveTimeout) -> close connection\n",
                g_config.keep_alive_timeout);
        return false;
    }
    if (!waits[0].revents) {
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
    monitoring_connection_started(*fd);
    bool close_requested = false;
    bool bad_request = false;
    for (;;) {
        worker_set_state(worker_state::busy);
        g_request.start_time = time(nullptr);
        g_request.outcome.started = std::chrono::steady_clock::now();
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
        if (code != 0)
            worker_count(requests_handled);
        monitoring_request_finished(g_request, code);
        bad_request = code == 400;
        close_requested = g_request.close_requested;
        g_request.entities.clear();
        if (*fd < 0 || !g_config.keep_alive || close_requested || bad_request || g_terminate_requested)
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

void serve_client(int fd) {
    // Replies leave in a few writes (head, 100 Continue, chunks); none of
    // them may wait for the acknowledgement of the one before. Set on each
    // connection: descriptor numbers repeat across connections.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // fails harmlessly on other sockets
    if (g_config.keep_alive) {
        if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
            vrx_log(log_level::error, "setsockopt: %s\n", strerror(errno));
    }
    serve_connection(&fd);
    if (fd >= 0)
        close(fd);
}
