#include "base/worker_table.h"

#include <ctime>
#include <new>
#include <sys/mman.h>

namespace {

// The header, then the slots, in one shared anonymous mapping.
struct table_memory {
    worker_table_header header;
    worker_slot slots[worker_table_capacity];
};

table_memory* g_table = nullptr;

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free &&
                  std::atomic<worker_state>::is_always_lock_free,
              "the table is shared between processes: its atomics must not need locks");

}  // namespace

int g_worker_slot = -1;

const char* worker_state_name(worker_state state) {
    static const char* const names[worker_state_count] = {"free", "starting", "idle", "busy", "waiting", "exiting"};
    uint32_t index = static_cast<uint32_t>(state);
    return index < worker_state_count ? names[index] : "?";
}

bool worker_table_create() {
    void* memory = mmap(nullptr, sizeof(table_memory), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    g_table = new (memory) table_memory();
    return true;
}

worker_table_header* worker_table() { return g_table ? &g_table->header : nullptr; }

worker_slot& worker_table_slot(uint32_t index) { return g_table->slots[index]; }

int worker_table_claim(uint32_t generation) {
    for (uint32_t i = 0; i < worker_table_capacity; ++i) {
        worker_slot& slot = g_table->slots[i];
        if (slot.state.load() != worker_state::free)
            continue;
        slot.pid = 0;
        slot.generation = generation;
        slot.started = time(nullptr);
        slot.state_since = slot.started.load();
        for (auto& counter : slot.counters)
            counter = 0;
        slot.state = worker_state::starting;
        if (i >= g_table->header.used_slots)
            g_table->header.used_slots = i + 1;
        return static_cast<int>(i);
    }
    return -1;
}

int worker_table_find(pid_t pid) {
    uint32_t used = g_table->header.used_slots;
    for (uint32_t i = 0; i < used; ++i)
        if (g_table->slots[i].pid.load() == pid && g_table->slots[i].state.load() != worker_state::free)
            return static_cast<int>(i);
    return -1;
}

void worker_table_release(int index) {
    worker_slot& slot = g_table->slots[index];
    if (slot.state.load() == worker_state::idle)
        --g_table->header.idle_hint;  // it died without saying so
    for (uint32_t c = 0; c < worker_counter_count; ++c)
        g_table->header.retired[c] += slot.counters[c].exchange(0);
    slot.pid = 0;
    slot.state = worker_state::free;
}

worker_census worker_table_census(uint32_t generation) {
    worker_census census;
    uint32_t used = g_table->header.used_slots;
    for (uint32_t i = 0; i < used; ++i) {
        const worker_slot& slot = g_table->slots[i];
        worker_state state = slot.state.load(std::memory_order_relaxed);
        if (state == worker_state::free)
            continue;
        ++census.total;
        if (generation == all_generations || slot.generation.load(std::memory_order_relaxed) == generation)
            ++census.by_state[static_cast<uint32_t>(state)];
    }
    return census;
}

uint64_t worker_table_total(worker_counter counter) {
    uint64_t total = g_table->header.retired[counter].load();
    uint32_t used = g_table->header.used_slots;
    for (uint32_t i = 0; i < used; ++i)
        total += g_table->slots[i].counters[counter].load(std::memory_order_relaxed);
    return total;
}

int32_t worker_set_state(worker_state state) {
    if (!g_table || g_worker_slot < 0)
        return 0;
    worker_slot& slot = g_table->slots[g_worker_slot];
    worker_state before = slot.state.exchange(state);
    if (before != state)
        slot.state_since = time(nullptr);
    std::atomic<int32_t>& idle = g_table->header.idle_hint;
    if (before != worker_state::idle && state == worker_state::idle)
        return ++idle;
    if (before == worker_state::idle && state != worker_state::idle)
        return --idle;
    return idle.load();
}

void worker_count(worker_counter counter, uint64_t amount) {
    if (!g_table || g_worker_slot < 0)
        return;
    g_table->slots[g_worker_slot].counters[counter].fetch_add(amount, std::memory_order_relaxed);
}
