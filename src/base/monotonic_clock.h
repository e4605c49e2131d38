#pragma once
// The one monotonic clock of the daemon, in nanoseconds: deadlines,
// lingers and waits. Async-signal-safe (clock_gettime), so an alarm
// handler may read it too.

#include <cstdint>

int64_t monotonic_ns();
