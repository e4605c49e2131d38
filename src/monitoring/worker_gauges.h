#pragma once
// Workers by state and the bound of the pool, read from the worker table.

#include <cstdint>
#include <optional>

struct worker_gauges {
    uint64_t idle = 0;
    uint64_t busy = 0;
    uint64_t max = 0;
};

// The current figures; none while the daemon has no worker table.
std::optional<worker_gauges> read_worker_gauges();
