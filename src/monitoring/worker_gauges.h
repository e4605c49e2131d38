#pragma once
// What the metrics read from the worker table of the pool.

#include <cstdint>
#include <optional>

struct worker_gauges {
    uint64_t idle = 0;
    uint64_t busy = 0;
    uint64_t max = 0;
};

// Workers by state and MaxWorkers; none while no pool runs.
std::optional<worker_gauges> read_worker_gauges();
// Workers that died and were replaced.
uint64_t worker_restarts();
// Connections the workers took from the listening socket.
uint64_t pool_connections_accepted();
