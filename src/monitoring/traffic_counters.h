#pragma once
// The daemon's counters, in one shared-memory area mapped before the first
// fork: every worker adds to the same cells with atomic increments, so the
// counts of a worker survive its exit and a reload. The metrics process
// only reads them.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

using counter_cell = std::atomic<uint64_t>;

// ICAP methods as counter labels; everything else is "other".
enum class icap_method_label { options, reqmod, respmod, other, count };
constexpr size_t method_label_count = static_cast<size_t>(icap_method_label::count);
const char* method_label_name(size_t index);
icap_method_label method_label(const std::string& method);

// The decision words: fixed ones, the block of every URL category, and
// virus:<action> for the five actions. Index for a word, -1 when unknown.
size_t decision_count();
const std::string& decision_name(size_t index);
int decision_index(const std::string& word);

// The actions of virus:<action>, as threat counter labels.
constexpr size_t action_count = 5;
const char* action_name(size_t index);

// Upper bounds, in seconds, of the duration histograms' buckets.
constexpr std::array<double, 14> duration_bounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                    0.25,  0.5,    1,     2.5,  5,    10,   30};

struct duration_histogram {
    counter_cell buckets[duration_bounds.size() + 1];  // not cumulative; the last is +Inf
    counter_cell sum_microseconds;
    counter_cell count;

    void observe(double seconds);
};

// Reply counts by status: each cell is claimed by the first status that
// needs it, so any status the daemon sends gets its own series.
constexpr size_t status_cell_count = 16;
struct status_counter {
    std::atomic<int32_t> status;
    counter_cell replies;
};

constexpr size_t max_decisions = 48;
constexpr size_t max_categories = 16;

struct traffic_counters {
    counter_cell requests[method_label_count];
    status_counter replies[status_cell_count];
    counter_cell decisions[max_decisions];
    counter_cell threats[action_count];
    counter_cell scan_errors;
    counter_cell cache_write_failures;   // bodies the Cache folder could not take
    duration_histogram scan_duration;
    duration_histogram request_duration[method_label_count];
    counter_cell body_bytes_received;
    counter_cell body_bytes_sent;
    counter_cell reloads_ok;
    counter_cell reloads_failed;
    // The connection keeper's: connections it holds (waiting for their next
    // head or for a worker), those it passed to a worker, those it closed
    // at once over MaxConnections, and the time from a complete head to the
    // worker that took it.
    std::atomic<int64_t> connections_held;
    counter_cell connection_handoffs;
    counter_cell connections_refused;
    duration_histogram connection_wait;
    // Gauges that the parent sets after each load.
    std::atomic<int64_t> start_time;                  // seconds since the epoch
    std::atomic<int64_t> last_reload_success_time;    // seconds since the epoch
    std::atomic<int64_t> uwl_files_loaded[max_categories];
    std::atomic<uint64_t> scanner_database_version;

    void count_reply(int status);
};

// Maps the area; called once in the parent before anything forks. Exits
// the process when the memory cannot be had.
void traffic_counters_create();
// The area, nullptr before it is created (tools and unit tests).
traffic_counters* shared_counters();
