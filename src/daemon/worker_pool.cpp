#include "daemon/worker_pool.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon/daemon_state.h"
#include "daemon/keeper_process.h"
#include "base/log.h"
#include "daemon/pooled_worker.h"
#include "base/worker_table.h"
#include "request/spool_files.h"
#include "settings/icapd_config.h"

namespace {

uint32_t g_generation = 0;
pid_t g_parent = 0;
// After a failed fork, or a worker that died before it took a connection,
// the pool waits for the next second before forking again, instead of
// spinning on a connection it cannot serve.
time_t g_forks_held_at = 0;

bool may_fork() { return g_forks_held_at != time(nullptr); }

bool fork_worker() {
    int index = worker_table_claim(g_generation);
    if (index < 0)
        return false;
    pid_t pid = fork();
    if (pid < 0) {
        vrx_log(log_level::error, "fork: %s\n", strerror(errno));
        worker_table_release(index);
        g_forks_held_at = time(nullptr);
        return false;
    }
    if (pid == 0) {
        g_worker_slot = index;
        worker_main(g_parent);
    }
    worker_table_slot(static_cast<uint32_t>(index)).pid = pid;
    return true;
}

// Seconds a worker must have been idle before it may be told to leave: a
// load that comes and goes keeps its workers instead of forking anew.
constexpr int64_t idle_before_trim = 2;

// Idle workers of the current configuration beyond `keep` are told to
// leave. The slot is marked first, so that a worker is told only once; one
// that has just taken a connection serves it and then leaves.
void trim_idle(uint32_t idle, uint32_t keep) {
    worker_table_header* table = worker_table();
    const int64_t idle_since = static_cast<int64_t>(time(nullptr)) - idle_before_trim;
    for (uint32_t i = table->used_slots; idle > keep && i-- > 0;) {
        worker_slot& slot = worker_table_slot(i);
        worker_state expected = worker_state::idle;
        pid_t pid = slot.pid.load();
        if (pid <= 0 || slot.generation.load() != g_generation || slot.state_since.load() > idle_since ||
            !slot.state.compare_exchange_strong(expected, worker_state::exiting))
            continue;
        --table->idle_hint;
        kill(pid, SIGTERM);
        --idle;
    }
}

}  // namespace

void pool_create() {
    if (!worker_table_create()) {
        vrx_log(log_level::error, "worker table: %s\n", strerror(errno));
        exit(1);
    }
    open_wake_pipe();
    g_parent = getpid();
    pool_settings_loaded();
}

void pool_settings_loaded() {
    worker_table_header* table = worker_table();
    if (!table)
        return;
    table->max_workers = static_cast<uint32_t>(g_config.max_workers);
    table->spare_workers = static_cast<uint32_t>(g_config.spare_workers);
    table->max_connections = static_cast<uint32_t>(g_config.max_connections);
    vrx_log(log_level::debug,
            "worker pool: MaxWorkers %i, SpareWorkers %i, MaxConnectionsPerWorker %i, KeepAliveTimeout %i, "
            "MaxConnections %i\n",
            g_config.max_workers, g_config.spare_workers, g_config.max_connections_per_worker,
            g_config.keep_alive_timeout, g_config.max_connections);
}

void pool_new_generation() { g_generation = ++worker_table()->generation; }

void pool_reap() {
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (keeper_reaped(pid, status))
            continue;
        int index = worker_table_find(pid);
        if (index < 0)
            continue;  // a lock-file cleaner
        const worker_slot& slot = worker_table_slot(static_cast<uint32_t>(index));
        const bool failed = WIFSIGNALED(status) || WEXITSTATUS(status) != 0;
        // A killed worker's body files stay behind; removed before its end
        // is logged, so that the log line marks a clean Cache folder.
        if (failed)
            spool_files_remove_of(g_config.cache, pid);
        if (WIFSIGNALED(status))
            vrx_log(log_level::error, "worker %i ended by signal %i\n", static_cast<int>(pid), WTERMSIG(status));
        else if (WEXITSTATUS(status) != 0)
            vrx_log(log_level::error, "worker %i ended with status %i\n", static_cast<int>(pid), WEXITSTATUS(status));
        else
            vrx_log(log_level::wire, "worker %i ended\n", static_cast<int>(pid));
        if (failed) {
            ++worker_table()->worker_restarts;
            if (slot.counters[connections_accepted].load() == 0)
                g_forks_held_at = time(nullptr);
        }
        worker_table_release(index);
    }
}

bool pool_maintain() {
    const uint32_t max = static_cast<uint32_t>(g_config.max_workers);
    const uint32_t spare = static_cast<uint32_t>(g_config.spare_workers);
    worker_census current = worker_table_census(g_generation);
    uint32_t total = current.total;  // of every generation
    uint32_t ready = current.count(worker_state::idle) + current.count(worker_state::starting);
    while (ready < spare && total < max && may_fork() && fork_worker()) {
        ++ready;
        ++total;
    }
    trim_idle(current.count(worker_state::idle), 2 * spare);
    return ready == 0 && total < max && may_fork();
}

void pool_start_generation() {
    const uint32_t max = static_cast<uint32_t>(g_config.max_workers);
    const uint32_t spare = static_cast<uint32_t>(g_config.spare_workers);
    // Every idle worker is of the old generation and ends when its pipe
    // closes, right after this.
    worker_census everyone = worker_table_census();
    uint32_t staying = everyone.total - everyone.count(worker_state::idle);
    uint32_t wanted = spare > 0 ? spare : 1;
    for (uint32_t started = 0; started < wanted && staying < max && fork_worker(); ++started)
        ++staying;
}

void pool_fork_for_connection() { fork_worker(); }

int pool_wake_fd() { return g_wake_pipe[0]; }

void pool_drain_wake() {
    char bytes[256];
    while (read(g_wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

void pool_signal_all(int signal_number) {
    worker_table_header* table = worker_table();
    for (uint32_t i = 0; i < table->used_slots; ++i) {
        const worker_slot& slot = worker_table_slot(i);
        pid_t pid = slot.pid.load();
        if (pid > 0 && slot.state.load() != worker_state::free)
            kill(pid, signal_number);
    }
}

unsigned pool_size() { return worker_table_census().total; }
