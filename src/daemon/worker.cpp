#include "daemon/worker.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/daemon_state.h"
#include "base/log.h"
#include "daemon/next_request.h"
#include "base/socket_io.h"
#include "base/worker_table.h"
#include "icap/icap_head.h"
#include "icap/request_deadline.h"
#include "icap/transaction.h"
#include "request/request_state.h"
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

}  // namespace

void serve_connection(int* fd) {
    monitoring_connection_started(*fd);
    bool close_requested = false;
    bool bad_request = false;
    for (;;) {
        worker_set_state(worker_state::busy);
        g_request.start_time = time(nullptr);
        g_request.outcome.started = std::chrono::steady_clock::now();
        int code = serve_request(fd, scanning_engine());
        // A request that failed or sent nothing may leave its alarm armed,
        // and the wait for the next one has no time limit.
        request_alarm_disarm();
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
        // The next request is served here only when it follows at once and
        // no other connection waits for a worker; an idle connection waits
        // in the keeper, not in a worker.
        worker_set_state(worker_state::waiting);
        next_request next =
            others_wait_for_a_worker() ? next_request::not_yet : await_request_head(*fd, head_linger_ms);
        if (next == next_request::closed) {
            vrx_log(log_level::wire, "ICAP client close connection -> exit from process\n");
            return;  // ended by the client: no exit cycle
        }
        if (next == next_request::not_yet) {
            if (g_terminate_requested)
                break;
            hand_to_keeper(*fd, g_config.keep_alive_timeout, false);
            *fd = -1;
            return;
        }
    }
    vrx_log(log_level::wire, "exit cycle: %i %i %i %i\n", *fd, g_config.keep_alive ? 1 : 0, close_requested ? 1 : 0,
            bad_request ? 1 : 0);
    reset_request();
}

void set_connection_options(int fd) {
    // Replies leave in a few writes (head, 100 Continue, chunks); none of
    // them may wait for the acknowledgement of the one before. Set on each
    // connection: descriptor numbers repeat across connections.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // fails harmlessly on other sockets
    if (g_config.keep_alive) {
        if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
            vrx_log(log_level::error, "setsockopt: %s\n", strerror(errno));
    }
}

void serve_client(int fd) {
    serve_connection(&fd);
    if (fd >= 0) {
        // Its lines are written before the client sees the end.
        access_log_flush();
        close(fd);
    }
}
