#pragma once
// The one log function of the daemon, shared by the parent and the workers.

#include <cstdarg>
#include <cstdint>
#include <string>
#include <sys/types.h>

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

// Log targets.
constexpr int log_suspended = -2;
constexpr int log_syslog = -1;

// printf-style: %i %u %x %s (the daemon's own formatter for file lines).
void vrx_log(unsigned level, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// LogLevel mask and the syslog facility and priority values.
void log_set_options(int32_t log_level, int syslog_facility, int syslog_priority);
// -d: every message is also copied to standard error.
void log_set_extra_debug(bool on);
// "syslog" (any case) or the path of the log file; closes the previous
// target. Throws std::runtime_error when the file cannot be opened.
void log_set_target(const std::string& log_file);
// The two halves of log_set_target, so that a reload can open its target
// while the one in force still takes its messages: log_open_target opens
// (log_syslog for "syslog", else a descriptor) and throws like
// log_set_target; log_install_target closes the one in force and takes
// `target` (log_suspended allowed). log_discard_target closes a target
// that was opened but is not to be installed.
int log_open_target(const std::string& log_file);
void log_install_target(int target);
void log_discard_target(int target);
// Closes the log file or syslog; messages are dropped until the next target.
void log_suspend();
// log_suspended, log_syslog or the descriptor of the log file.
int log_target();
// Empties the log file when it is larger than max_log_size (0: never).
void log_check_size(uint64_t max_log_size);

// Writes all of `data` unless the descriptor fails; retries after EINTR.
// Async-signal-safe.
void write_fully(int fd, const char* data, size_t length);

// For signal handlers: the same line as vrx_log, built without allocation,
// locks or time-zone look-ups (the local-time offset of the last ordinary
// message is used) and written with write(2); syslog lines are sent to the
// local syslog socket directly.
void vrx_log_async(unsigned level, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Daemonising: the log file goes to User only when it is a regular file with
// one link; syslog is closed across the fork and opened again after it.
// Returns -1 (errno set) when fchown fails, else 0.
int log_give_to(uid_t uid, gid_t gid);
void log_before_fork();
void log_after_fork();

// Logs "Closing fd %i" (debug), closes *fd and stores -1; no-op below 0.
void close_fd_logged(int* fd);

// The daemon's own formatter: %i/%d and %u decimal (l, ll, z, j, h length
// modifiers accepted), %x "0x" + lower-case hex, %s text; "%" + any other
// character prints that character and takes no argument. Writes at most
// size-1 characters and a terminating NUL; returns the length written.
size_t log_format(char* out, size_t size, const char* fmt, va_list args);
