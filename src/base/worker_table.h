#pragma once
// The worker table: one slot per worker process in memory shared by the
// parent and all its workers, created by the parent before its first fork.
// A worker writes only its own slot (state and counters); the parent claims
// a slot before it forks a worker and frees it when it has reaped that
// worker, folding the worker's counters into the table's totals so that
// totals never go back. Any process may read the table at any time: every
// field is a lock-free atomic, and a reader sees each field whole.

#include <atomic>
#include <cstdint>
#include <sys/types.h>

// Largest MaxWorkers; the table has this many slots (untouched ones cost
// no memory).
constexpr uint32_t worker_table_capacity = 4096;

enum class worker_state : uint32_t {
    free = 0,  // no worker
    starting,  // forked, not yet waiting for a connection
    idle,      // waiting for a connection
    busy,      // reading or answering a request
    waiting,   // between two requests of its connection (keep-alive)
    exiting,   // leaving; the parent has not reaped it yet
};
constexpr uint32_t worker_state_count = 6;
// "free", "starting", "idle", ...
const char* worker_state_name(worker_state state);

// Counters of one worker, and of the ended workers in the table's totals.
// A counter added here is kept, folded and summed like the others.
enum worker_counter : uint32_t {
    connections_accepted,  // connections taken from the listening socket
    requests_handled,      // requests read and answered
    worker_counter_count
};

struct alignas(64) worker_slot {
    std::atomic<pid_t> pid{0};
    std::atomic<worker_state> state{worker_state::free};
    std::atomic<uint32_t> generation{0};  // of the configuration it serves
    std::atomic<int64_t> started{0};      // time of its fork
    std::atomic<int64_t> state_since{0};  // time of its last change of state
    std::atomic<uint64_t> counters[worker_counter_count] = {};
};

struct worker_table_header {
    // Bumped by every successful reload; workers of older generations
    // finish what they serve and end.
    std::atomic<uint32_t> generation{0};
    // Pool settings in force (MaxWorkers, SpareWorkers, MaxConnections).
    std::atomic<uint32_t> max_workers{0};
    std::atomic<uint32_t> spare_workers{0};
    // Connections the keeper holds at most (MaxConnections).
    std::atomic<uint32_t> max_connections{0};
    // Slots at or above this index have never been used.
    std::atomic<uint32_t> used_slots{0};
    // Workers waiting for a connection, kept by the workers as they come
    // and go (and by the parent for those that die): a hint for waking the
    // parent, which counts the slots for its own decisions.
    std::atomic<int32_t> idle_hint{0};
    // Workers that died (signal or non-zero status) and were replaced.
    std::atomic<uint64_t> worker_restarts{0};
    // Counters of the workers that have ended.
    std::atomic<uint64_t> retired[worker_counter_count] = {};
};

// Creates the shared table (parent, once, before the first fork); false
// with errno set when the memory cannot be had.
bool worker_table_create();
// The table; null before worker_table_create.
worker_table_header* worker_table();
worker_slot& worker_table_slot(uint32_t index);

// Parent: a free slot set to `starting` for `generation`, or -1 when none
// is free; the pid is stored once the fork has returned.
int worker_table_claim(uint32_t generation);
// Parent: the slot of `pid`, or -1.
int worker_table_find(pid_t pid);
// Parent, after reaping the slot's worker: its counters go into the
// totals and the slot becomes free.
void worker_table_release(int index);

// Workers per state: of one configuration generation, or of all.
constexpr uint32_t all_generations = UINT32_MAX;
struct worker_census {
    uint32_t by_state[worker_state_count] = {};
    uint32_t total = 0;  // every slot that is not free
    uint32_t count(worker_state state) const { return by_state[static_cast<uint32_t>(state)]; }
};
worker_census worker_table_census(uint32_t generation = all_generations);

// A counter over the whole life of the daemon: ended and running workers.
uint64_t worker_table_total(worker_counter counter);

// The calling worker's own slot, set by the parent's fork (-1 elsewhere).
extern int g_worker_slot;
// Worker: its state in its slot; keeps the idle hint in step. Returns the
// idle hint after the change. Both calls do nothing outside a worker, so
// the request path may count in tests too.
int32_t worker_set_state(worker_state state);
// Worker: adds to one of its counters.
void worker_count(worker_counter counter, uint64_t amount = 1);
