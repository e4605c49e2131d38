#pragma once
// Reply bytes written while the client is still sending its request.
// Bytes go out as far as the connection takes them at once; the rest waits
// in memory and goes out whenever the connection has room, also while the
// reader waits for the client. When memory_max / 2 bytes wait, the reader
// waits for the client to make room, so a client that reads a little
// slower than it sends slows its body down. One that does not make room
// within a second reads slowly, or reads its reply only after it has sent
// its request: blocking on it would wait for the client while the client
// waits for the worker. The reader then goes on, and what the client
// leaves waits in a temporary file in the Cache folder until the client
// has taken all.

#include <cstdint>
#include <string>
#include <sys/uio.h>

#include "request/request_state.h"

class send_queue {
public:
    // `name` names the temporary file (an entity name, as for a body); a
    // file that cannot be written is noted in `outcome`.
    send_queue(int* fd, std::string name, request_outcome& outcome)
        : fd_(fd), outcome_(outcome), file_(std::move(name), 0) {}

    // Sends the parts, in order, after what waits. False when the
    // connection or the file failed; the connection is then closed.
    bool send(const iovec* parts, size_t count);
    // Waits until the client's next bytes can be read (or the wait is left
    // to the reader), sending what waits as room comes. False on a failure
    // or when the client takes nothing and sends nothing for Timeout.
    bool wait_for_client();
    // Sends everything that waits, blocking up to Timeout per wait (as
    // every reply write).
    bool drain();

    bool empty() const { return waiting() == 0; }
    // Bytes that had to wait in the file, for the log.
    uint64_t spilled() const { return spilled_; }

    static constexpr size_t memory_max = 256 * 1024;

private:
    bool keep(const char* data, size_t length);
    uint64_t waiting() const { return mem_.size() - mem_at_ + (file_end_ - file_at_); }
    // Waits while memory_max / 2 bytes wait, at most a second; after that
    // the file takes what the client leaves.
    bool make_room();
    // Sends what waits without blocking; stops when the connection is full.
    bool push();
    // The next waiting bytes, from memory or read from the file.
    bool front(const char*& data, size_t& length);
    void sent(size_t length);
    bool fail(const char* what);

    int* fd_;
    request_outcome& outcome_;
    std::string mem_;            // waiting bytes at mem_at_..end
    size_t mem_at_ = 0;
    entity_record file_;         // waiting bytes at file_at_..file_end_, after those in memory
    uint64_t file_at_ = 0;
    uint64_t file_end_ = 0;
    uint64_t spilled_ = 0;
    bool stuck_ = false;         // the client made no room in time since the queue was last empty
};
