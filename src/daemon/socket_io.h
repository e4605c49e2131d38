#pragma once
// Blocking socket I/O of the worker and the scanning-daemon client.
// A routine that finds its connection broken closes it and stores -1.

#include <cstddef>
#include <cstdint>

int64_t safe_readwrite(int* fd, void* buffer, int64_t length, bool reading, bool use_readline);
int64_t write_all(int* fd, const void* buffer, int64_t length);
int64_t read_all(int* fd, void* buffer, int64_t length, bool use_readline);

int64_t write_uint32(int* fd, uint32_t value);
// Returns 4 and stores the value on success, else what read_all returned.
int64_t read_uint32(int* fd, uint32_t* value);

// Reads one line (newline kept) into buffer of `size` bytes.
int64_t readline(int* fd, char* buffer, size_t size, const char* tag = nullptr);
bool readline_empty();

int wait_readable(int fd, int timeout_seconds);
int wait_writable(int fd, int timeout_seconds);

// First position of pattern in text ignoring case; text for an empty
// pattern; nullptr when absent.
const char* find_nocase(const char* text, const char* pattern);
