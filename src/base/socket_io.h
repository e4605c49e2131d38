#pragma once
// Blocking socket I/O of the worker and the scanning-daemon client.
// A routine that finds its connection broken closes it and stores -1.

#include <cstddef>
#include <cstdint>

// Seconds each wait may take (Timeout); below 1 waits without limit.
void socket_io_set_timeout(int32_t seconds);

// Moves exactly `length` bytes; fewer only at end of file, -1 on error or
// time-out. A read with use_readline first takes what the line reader has
// buffered; one without it bypasses that buffer.
int64_t safe_readwrite(int* fd, void* buffer, int64_t length, bool reading, bool use_readline);
int64_t write_all(int* fd, const void* buffer, int64_t length);
int64_t read_all(int* fd, void* buffer, int64_t length, bool use_readline);
// Reads what is there, 1 to `length` bytes (waiting up to the time-out
// for the first), the line reader's buffered bytes first. Returns the
// count, 0 at end of file, -1 on error or time-out.
int64_t read_some(int* fd, void* buffer, int64_t length);

int64_t write_uint32(int* fd, uint32_t value);
// Returns 4 and stores the value on success, else what read_all returned.
int64_t read_uint32(int* fd, uint32_t* value);

// Reads one line (newline kept) into buffer of `size` bytes through the
// process's 16384-byte read-ahead buffer. Returns the characters stored, 0
// when the peer closed or a time-out struck before the first one, -1 on
// error; on 0 and -1 the descriptor is closed.
int64_t readline(int* fd, char* buffer, size_t size, const char* tag = nullptr);
bool readline_empty();
// Drops whatever the line reader holds (a new connection in this process).
void readline_discard();
// What the line reader holds and has not given out yet.
size_t readline_buffered(const char** data);
// Puts bytes read from the connection by another process back in front of
// what is read next; at most the buffer's size (16384) is kept.
void readline_preload(const char* data, size_t length);

// select-like wait on one descriptor; a negative time-out waits without
// limit. Returns 1 when ready, 0 on time-out, -1 on error.
int wait_readable(int fd, int timeout_seconds);
int wait_writable(int fd, int timeout_seconds);

// First position of pattern in text ignoring case; text for an empty
// pattern; nullptr when absent.
const char* find_nocase(const char* text, const char* pattern);
