#include "daemon/keeper_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon/connection_keeper.h"
#include "base/log.h"
#include "base/worker_table.h"
#include "monitoring/traffic_counters.h"

namespace {

pid_t g_keeper = 0;
time_t g_last_start = 0;
uint64_t g_refused_logged = 0;
time_t g_refused_logged_at = 0;

void log_refusals(time_t now) {
    const traffic_counters* c = shared_counters();
    if (!c || now == g_refused_logged_at)
        return;
    uint64_t refused = c->connections_refused.load(std::memory_order_relaxed);
    if (refused == g_refused_logged)
        return;
    const worker_table_header* table = worker_table();
    vrx_log(log_level::error, "%u connections refused: MaxConnections (%u) are held\n",
            static_cast<unsigned>(refused - g_refused_logged),
            table ? static_cast<unsigned>(table->max_connections.load()) : 0u);
    g_refused_logged = refused;
    g_refused_logged_at = now;
}

}  // namespace

void keeper_start() {
    g_last_start = time(nullptr);
    pid_t parent = getpid();
    // The keeper names itself first, then says so: whoever lists the
    // daemon's processes after the start never takes it for a worker.
    int named[2];
    if (pipe2(named, O_CLOEXEC) != 0) {
        vrx_log(log_level::error, "connection keeper: pipe: %s\n", strerror(errno));
        return;
    }
    pid_t pid = fork();
    if (pid < 0) {
        vrx_log(log_level::error, "connection keeper: fork: %s\n", strerror(errno));
        close(named[0]);
        close(named[1]);
        return;
    }
    if (pid == 0) {
        close(named[0]);
        keeper_main(parent, named[1]);
    }
    close(named[1]);
    struct pollfd ready = {named[0], POLLIN, 0};
    while (poll(&ready, 1, 2000) < 0 && errno == EINTR) {
    }
    close(named[0]);
    g_keeper = pid;
}

bool keeper_reaped(pid_t pid, int status) {
    if (pid != g_keeper || g_keeper <= 0)
        return false;
    g_keeper = 0;
    if (traffic_counters* c = shared_counters())
        c->connections_held.store(0, std::memory_order_relaxed);
    if (WIFSIGNALED(status))
        vrx_log(log_level::error, "connection keeper %i ended by signal %i\n", static_cast<int>(pid),
                WTERMSIG(status));
    else if (WEXITSTATUS(status) != 0)
        vrx_log(log_level::error, "connection keeper %i ended with status %i\n", static_cast<int>(pid),
                WEXITSTATUS(status));
    else
        vrx_log(log_level::wire, "connection keeper %i ended\n", static_cast<int>(pid));
    return true;
}

void keeper_maintain() {
    time_t now = time(nullptr);
    if (g_keeper == 0 && now != g_last_start)
        keeper_start();
    log_refusals(now);
}

bool keeper_signal(int signal_number) {
    if (g_keeper > 0)
        kill(g_keeper, signal_number);
    return g_keeper > 0;
}
