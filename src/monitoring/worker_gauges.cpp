#include "monitoring/worker_gauges.h"

#include "base/worker_table.h"

std::optional<worker_gauges> read_worker_gauges() {
    const worker_table_header* table = worker_table();
    if (!table || table->max_workers.load(std::memory_order_relaxed) == 0)
        return std::nullopt;
    worker_census census = worker_table_census();
    worker_gauges gauges;
    // A worker that holds a connection, even one idle between two requests,
    // cannot take a new one.
    gauges.idle = census.count(worker_state::starting) + census.count(worker_state::idle);
    gauges.busy = census.count(worker_state::busy) + census.count(worker_state::waiting);
    gauges.max = table->max_workers.load(std::memory_order_relaxed);
    return gauges;
}

uint64_t worker_restarts() {
    const worker_table_header* table = worker_table();
    return table ? table->worker_restarts.load(std::memory_order_relaxed) : 0;
}

uint64_t pool_connections_accepted() { return worker_table() ? worker_table_total(connections_accepted) : 0; }
