#include "icap/request_deadline.h"

#include <atomic>
#include <sys/time.h>
#include <unistd.h>

#include "base/monotonic_clock.h"
#include "settings/icapd_config.h"

namespace {

constexpr int64_t ns_per_second = 1000000000;

bool g_alarm_armed = false;
int64_t g_body_start_ns = 0;
// The body's deadline on the monotonic clock; 0 while no body is read.
// Read by the signal handler, hence atomic.
std::atomic<int64_t> g_deadline_ns{0};
static_assert(std::atomic<int64_t>::is_always_lock_free, "read in a signal handler");

}  // namespace

void request_alarm_arm() {
    g_alarm_armed = g_config.timeout > 0;
    alarm(g_alarm_armed ? static_cast<unsigned>(g_config.timeout) : 0);
}

void request_alarm_disarm() {
    if (!g_alarm_armed)
        return;
    g_alarm_armed = false;
    alarm(0);
}

void body_deadline_start() {
    if (g_config.timeout <= 0) {
        g_deadline_ns = 0;
        return;
    }
    // The heads' alarm, armed when the head started, goes off before this
    // deadline and is deferred to it.
    g_body_start_ns = monotonic_ns();
    g_deadline_ns = g_body_start_ns + int64_t{g_config.timeout} * ns_per_second;
}

void body_deadline_progress(uint64_t received) {
    if (g_deadline_ns.load(std::memory_order_relaxed) == 0)
        return;
    // A stall is never allowed longer than Timeout; with MinBodyRate the
    // body also gets no more than Timeout plus a second per MinBodyRate
    // bytes in total.
    int64_t now = monotonic_ns();
    int64_t deadline = now + int64_t{g_config.timeout} * ns_per_second;
    if (g_config.min_body_rate > 0) {
        double allowed = (static_cast<double>(g_config.timeout) +
                          static_cast<double>(received) / static_cast<double>(g_config.min_body_rate)) *
                         ns_per_second;
        if (allowed < static_cast<double>(deadline - g_body_start_ns))
            deadline = g_body_start_ns + static_cast<int64_t>(allowed);
    }
    g_deadline_ns = deadline;
}

void body_deadline_stop() { g_deadline_ns = 0; }

bool body_deadline_defer_alarm() {
    int64_t deadline = g_deadline_ns.load();
    if (deadline == 0)
        return false;
    int64_t left = deadline - monotonic_ns();
    if (left <= 0)
        return false;
    // alarm() is setitimer with whole seconds in glibc; the exact rest
    // keeps a stall from getting more than Timeout.
    itimerval rest{};
    rest.it_value.tv_sec = static_cast<time_t>(left / ns_per_second);
    rest.it_value.tv_usec = static_cast<suseconds_t>(left % ns_per_second / 1000 + 1);
    if (rest.it_value.tv_usec >= 1000000) {
        rest.it_value.tv_sec += 1;
        rest.it_value.tv_usec -= 1000000;
    }
    setitimer(ITIMER_REAL, &rest, nullptr);
    return true;
}
