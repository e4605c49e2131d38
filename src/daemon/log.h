#pragma once
// The one log function of the daemon, shared by the parent and the workers.

#include <string>

namespace log_level {
// A message level is a set of bits; 0 is an error and 128 a warning, both
// always written. The others are enabled by the LogLevel mask.
constexpr unsigned error = 0;
constexpr unsigned info = 1;
constexpr unsigned debug = 2;    // general progress
constexpr unsigned chunk = 4;    // chunk-level transfer details
constexpr unsigned headers = 16; // ICAP header lines
constexpr unsigned wire = 32;    // wire dumps and process details
constexpr unsigned warn = 128;   // per-request summary line
}

// printf-style: %i %u %x %s (the daemon's own formatter for file lines).
void vrx_log(unsigned level, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
