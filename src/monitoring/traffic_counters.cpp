#include "monitoring/traffic_counters.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <vector>

#include "base/log.h"
#include "uwl_files/uwl_files.h"

namespace {

traffic_counters* g_counters = nullptr;

const char* const action_names[action_count] = {"cure", "report", "truncate", "move", "pass"};

std::vector<std::string> make_decision_names() {
    std::vector<std::string> names = {"pass", "204", "block-host", "block-all", "block-mime", "scan-error", "error"};
    for (const uwl_category& category : uwl_categories())
        names.push_back(std::string("block-category:") + category.name);
    for (const char* action : action_names)
        names.push_back(std::string("virus:") + action);
    return names;
}

const std::vector<std::string>& decision_names() {
    static const std::vector<std::string> names = make_decision_names();
    return names;
}

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<int32_t>::is_always_lock_free,
              "counters in shared memory must be lock-free atomics");
static_assert(uwl_category_count <= max_categories, "a cell per URL category");

}  // namespace

const char* method_label_name(size_t index) {
    static const char* const names[method_label_count] = {"OPTIONS", "REQMOD", "RESPMOD", "other"};
    return names[index];
}

icap_method_label method_label(const std::string& method) {
    if (method == "OPTIONS")
        return icap_method_label::options;
    if (method == "REQMOD")
        return icap_method_label::reqmod;
    if (method == "RESPMOD")
        return icap_method_label::respmod;
    return icap_method_label::other;
}

size_t decision_count() { return decision_names().size(); }

const std::string& decision_name(size_t index) { return decision_names()[index]; }

int decision_index(const std::string& word) {
    const std::vector<std::string>& names = decision_names();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == word)
            return static_cast<int>(i);
    return -1;
}

const char* action_name(size_t index) { return action_names[index]; }

void duration_histogram::observe(double seconds) {
    size_t bucket = 0;
    while (bucket < duration_bounds.size() && seconds > duration_bounds[bucket])
        ++bucket;
    buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    sum_microseconds.fetch_add(static_cast<uint64_t>(std::llround(seconds * 1e6)), std::memory_order_relaxed);
    count.fetch_add(1, std::memory_order_relaxed);
}

void traffic_counters::count_reply(int status) {
    for (status_counter& cell : replies) {
        int32_t held = cell.status.load(std::memory_order_relaxed);
        if (held == 0 && cell.status.compare_exchange_strong(held, status))
            held = status;
        if (held == status) {
            cell.replies.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
}

void traffic_counters_create() {
    static_assert(sizeof(traffic_counters) < 1 << 16, "one small mapping");
    void* area = mmap(nullptr, sizeof(traffic_counters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        vrx_log(log_level::error, "mmap of the counters: %s\n", strerror(errno));
        exit(1);
    }
    // Anonymous mappings are zero-filled: every cell starts at 0.
    g_counters = new (area) traffic_counters();
    if (decision_count() > max_decisions) {
        vrx_log(log_level::error, "too many decision words for the counters\n");
        exit(1);
    }
}

traffic_counters* shared_counters() { return g_counters; }
