#pragma once
// The per-request state of a worker: one record per process, reset before
// each request. Texts keep the limits of the wire buffers (see the *_max
// constants) and are cut there.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <list>
#include <optional>
#include <string>
#include <vector>

constexpr size_t icap_line_max = 4096;   // ICAP lines and head fields
constexpr size_t url_max = 10000;        // URL, reply heads, log lines
constexpr size_t entity_name_max = 256;

// One item of the Encapsulated header. Owns its header text or the
// temporary file of its body; the file is removed when the record dies.
// A body is held in memory (data) while it is small and gets its temporary
// file in `folder` (the Cache folder) when it grows larger or must be read
// from a file.
struct entity_record {
    std::string name;           // "req-hdr", "res-hdr", "req-body", ...
    uint64_t offset = 0;        // offset from Encapsulated (rewritten for the reply)
    uint64_t size = 0;          // header text length or body bytes (file or memory)
    FILE* file = nullptr;       // body temporary file
    std::string temp_path;      // empty when there is no file
    std::optional<std::string> header;
    std::string data;           // a small body held in memory while it has no file

    entity_record() = default;
    entity_record(std::string n, uint64_t off) : name(std::move(n)), offset(off) {}
    entity_record(const entity_record&) = delete;
    entity_record& operator=(const entity_record&) = delete;
    entity_record(entity_record&& other) noexcept;
    entity_record& operator=(entity_record&& other) noexcept;
    ~entity_record();

    // Closes the file, removes the temporary file, drops the header.
    void release();

    // Creates the body's temporary file in `folder` (mode 0660, size 0) and
    // remembers it as the worker's last one. A file that cannot be created
    // ends the worker with status 1.
    void create_file(const std::string& folder);
    // Moves the bytes held in memory into a new temporary file (flushed,
    // positioned at its end); nothing to do when the body has its file.
    // False, with errno set, when they cannot be written.
    bool to_file(const std::string& folder);
    // Appends body bytes: in memory while the body stays within
    // memory_body_max, else to its file. False, with errno set, when the
    // file cannot take them.
    bool append(const char* bytes, size_t length, const std::string& folder);
    // Up to `length` body bytes from `offset`, from memory or the file.
    std::string read_at(uint64_t offset, size_t length) const;

    // A body up to this size stays in memory unless it must be scanned.
    static constexpr size_t memory_body_max = 64 * 1024;
};

struct virus_entry {
    std::string name;
    int type = 0;
};

// What the access log and the counters learn of a request, filled along
// its path: when it started, the decision word when a step other than the
// reply decided it ("block-host", "virus:report", "scan-error"...), the
// ICAP status sent, body bytes in and out, and the time spent waiting for
// the scanner.
struct request_outcome {
    std::chrono::steady_clock::time_point started;
    std::string decision;
    int status = 0;
    uint64_t body_bytes_received = 0;
    uint64_t body_bytes_sent = 0;
    double scan_seconds = 0;
    int spool_errno = 0;   // why a body could not be written to the Cache folder
};

struct request_state {
    std::string method;
    std::string uri;
    std::string url;
    bool url_unknown = false;      // a request header was read but gave no URL
    std::string version;
    std::string client_ip;
    std::string username;
    std::string reply_encapsulated;
    bool no_body = false;
    int32_t allow_204 = 0;
    bool allow_trailers = false;   // "Allow: trailers": ICAP trailer headers may end a reply
    int32_t preview = -1;
    bool close_requested = false;
    bool malformed = false;        // the framing of the message was broken: 400 and a close
    std::list<entity_record> entities;
    std::vector<virus_entry> viruses_list;
    int32_t infection_type = 0;
    int32_t resolution = 0;
    std::optional<std::string> response_info;
    std::optional<std::string> response_desc;
    bool decided = false;
    time_t start_time = -1;
    // From the HTTP response header (entity reading): Content-Type, and the
    // announced body length, -1 when unknown.
    std::string content_type;
    int64_t content_length = -1;
    request_outcome outcome;

    // Back to the reset values; frees the entity chain.
    void reset();
};

// A body the Cache folder `folder` cannot take (full disk, no inodes) gets
// the error reply; the reason `error` is logged once per request and kept
// in `outcome` for the metrics.
void spool_failed(request_outcome& outcome, const std::string& folder, int error);

// The record of the request being served by this process.
extern request_state g_request;

// Path of the temporary file this worker created last, as the scanner's
// report lines name it; empty when none. Every file of the request is also
// in the spool set (request/spool_files.h) that the signal handlers empty.
extern std::string g_last_temp_file;
