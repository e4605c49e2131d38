#pragma once
// Writes one ICAP reply to the connection. Small pieces (reply head, HTTP
// header, chunk-size lines, small chunks) are gathered and leave in one
// write, so a reply never waits between its pieces.

#include <cstddef>
#include <string>

// Writes bytes of a reply. After a failed or partial write nothing more may
// go out on the connection, or the client would read the start of one reply
// followed by another: the connection is then closed (*fd becomes -1).
bool write_reply(int* fd, const char* data, size_t length);

class reply_writer {
public:
    explicit reply_writer(int* fd) : fd_(fd) {}

    // Queues the bytes; pending bytes are written first when they no
    // longer fit, and a large piece is written at once. False when a write
    // failed (the connection is then closed and -1).
    bool put(const char* data, size_t length);
    bool put(const std::string& text) { return put(text.data(), text.size()); }
    bool flush();
    // Drops what is queued and closes the connection, so that the client
    // sees the reply end without its terminating chunk.
    void abandon();

private:
    int* fd_;
    std::string pending_;
};
