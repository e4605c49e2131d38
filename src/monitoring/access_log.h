#pragma once
// The access log: one line per ICAP request in a fixed, space-separated
// field order. A process holds its lines and appends them with one write()
// on an O_APPEND descriptor, so that the lines of concurrent workers never
// mix or split: when it is about to wait (access_log_flush), when 4 KB are
// pending, when the oldest held line is 1 s old, and when it ends.

#include <cstdint>
#include <string>
#include <sys/types.h>

struct access_log_entry {
    int64_t time_ms = 0;          // end of the request, ms since the epoch
    std::string client;           // address of the ICAP client
    std::string method;           // ICAP method; empty for a bad request line
    std::string service;          // path of the ICAP URI
    int status = 0;               // ICAP status sent; 0 when none was sent
    std::string url;              // HTTP URL
    uint64_t bytes_received = 0;  // request body bytes
    uint64_t bytes_sent = 0;      // reply body bytes
    std::string decision;         // one word; empty for OPTIONS
    std::string threats;          // threat names joined with ';'
    double scan_seconds = 0;
    double total_seconds = 0;
};

// Opens the file for appending (mode 0664), closing the one open before:
// a reload reopens it after a rotation. An empty path turns the log off.
// Throws std::runtime_error "failed to open access log [PATH]: REASON".
void access_log_open(const std::string& path);
bool access_log_enabled();
// Gives the open file to the daemon's user before privileges are dropped.
void access_log_give_to(uid_t uid, gid_t gid);

// The line of an entry, its newline included. Empty texts are "-"; bytes
// that are blank, control or not ASCII are written as %XX.
std::string access_log_line(const access_log_entry& entry);
// Holds the line of an entry; a line longer than the buffer is written at once.
void access_log_write(const access_log_entry& entry);
// Writes the held lines; called before waiting for a request or connection.
void access_log_flush();
// The same from a signal handler that ends the process.
void access_log_flush_async();
