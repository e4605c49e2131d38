#include "scan/engine_version.h"

#include <atomic>
#include <ctime>
#include <new>
#include <sys/mman.h>

#include "daemon/log.h"
#include "scan/scan_engine.h"
#include "scan/vrx_client.h"

namespace {

struct shared_version {
    std::atomic<uint64_t> number;
    // Monotonic second from which the next refresh is due; a worker takes
    // the refresh by moving it on, so one killed while it asks cannot stop
    // the next one.
    std::atomic<int64_t> due_at;
};

shared_version* g_version = nullptr;

int64_t now_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

}  // namespace

void engine_version_loaded() {
    if (g_version) {
        g_version->due_at.store(0, std::memory_order_relaxed);
        return;
    }
    void* memory = mmap(nullptr, sizeof(shared_version), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        vrx_log(log_level::error, "engine version: no shared mapping, each process keeps its own\n");
        return;
    }
    g_version = new (memory) shared_version();
    if (scanning_configured())
        configured_engine().refresh_istag();
    g_version->number.store(virus_total, std::memory_order_relaxed);
    g_version->due_at.store(now_seconds() + engine_version_max_age, std::memory_order_relaxed);
}

unsigned long engine_version_number() {
    return g_version ? static_cast<unsigned long>(g_version->number.load(std::memory_order_relaxed)) : virus_total;
}

void engine_version_refresh_if_due() {
    if (!g_version || !scanning_configured())
        return;
    int64_t now = now_seconds();
    int64_t due = g_version->due_at.load(std::memory_order_relaxed);
    if (now < due || !g_version->due_at.compare_exchange_strong(due, now + engine_version_max_age))
        return;
    // A failed answer keeps the number in force until the next turn.
    if (configured_engine().refresh_istag() == 200)
        g_version->number.store(virus_total, std::memory_order_relaxed);
}
