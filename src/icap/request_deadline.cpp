#include "icap/request_deadline.h"

#include <chrono>
#include <climits>
#include <unistd.h>

#include "settings/icapd_config.h"

namespace {

std::chrono::steady_clock::time_point g_body_start;

}  // namespace

void body_deadline_start() { g_body_start = std::chrono::steady_clock::now(); }

void body_deadline_progress(uint64_t received) {
    if (g_config.timeout <= 0) {
        alarm(0);
        return;
    }
    if (g_config.min_body_rate <= 0) {
        // No rate asked for: only a stall of Timeout ends the request.
        alarm(static_cast<unsigned>(g_config.timeout));
        return;
    }
    double allowed = static_cast<double>(g_config.timeout) +
                     static_cast<double>(received) / static_cast<double>(g_config.min_body_rate);
    double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_body_start).count();
    double left = allowed - spent;
    // A stall is never allowed longer than Timeout, and an alarm of 0 would
    // disarm it: at least one second.
    if (left > g_config.timeout)
        left = g_config.timeout;
    alarm(left < 1 ? 1u : static_cast<unsigned>(left));
}
