#include "scan/engine_version.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/mman.h>

#include "base/log.h"
#include "scan/scan_engine.h"
#include "scan/vrx_client.h"

namespace {

struct shared_version {
    std::atomic<uint64_t> number;
    // Monotonic second from which the next refresh is due; a worker takes
    // the refresh by moving it on, so one killed while it asks cannot stop
    // the next one.
    std::atomic<int64_t> due_at;
    // The engine's description for report pages, written by the one
    // process that asks; the sequence is odd while it is being written.
    std::atomic<uint32_t> release_sequence;
    char release[256];
};

shared_version* g_version = nullptr;

int64_t now_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

void store_release(const std::string& text) {
    if (text.empty())
        return;
    g_version->release_sequence.fetch_add(1, std::memory_order_acq_rel);
    size_t length = std::min(text.size(), sizeof g_version->release - 1);
    memcpy(g_version->release, text.data(), length);
    g_version->release[length] = '\0';
    g_version->release_sequence.fetch_add(1, std::memory_order_release);
}

// Asks the engine for the number and, once per process, its description.
bool ask_engine() {
    if (configured_engine().refresh_istag() != 200)
        return false;
    if (daemon_info.empty())
        configured_engine().get_info();
    g_version->number.store(virus_total, std::memory_order_relaxed);
    store_release(daemon_info);
    return true;
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
    g_version->number.store(virus_total, std::memory_order_relaxed);
    if (scanning_configured())
        ask_engine();
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
    ask_engine();   // a failed answer keeps what is known until the next turn
}

std::string engine_release_text() {
    if (!g_version)
        return daemon_info;
    for (int attempt = 0; attempt < 4; ++attempt) {
        uint32_t before = g_version->release_sequence.load(std::memory_order_acquire);
        if (before & 1)
            continue;
        std::string text(g_version->release);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (g_version->release_sequence.load(std::memory_order_relaxed) == before)
            return text.empty() ? daemon_info : text;
    }
    return daemon_info;
}
