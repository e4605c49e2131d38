#pragma once
// Connections passed between the workers and the connection keeper over
// one SOCK_SEQPACKET socket pair: a message is one connection, its
// descriptor travelling as SCM_RIGHTS, with a fixed header and the bytes of
// its next request head that its sender had already read.
//
// End 0 is the keeper's: it receives the connections workers hand over and
// sends those whose head has arrived. End 1 is shared by every worker: any
// free worker receives the next ready connection, in the order they were
// sent. The parent holds both ends, so that messages survive a keeper that
// is replaced, and watches end 1 to fork a worker when one is waiting.

#include <cstddef>
#include <cstdint>
#include <string>

extern int g_keeper_channel[2];

// Creates the pair (parent, at start); logs and exits 1 when it fails.
void open_keeper_channel();
// Closes whichever ends are open (processes that take no part).
void close_keeper_channel();

struct handoff_header {
    // Worker to keeper: milliseconds the keeper may wait for the next head
    // before it closes the connection; negative waits without limit.
    int64_t wait_limit_ms = -1;
    // Keeper to worker: monotonic_ns() at which the head was complete, for
    // the hand-off wait histogram.
    int64_t ready_at_ns = 0;
    uint32_t bytes = 0;  // head bytes that follow the header
    // Worker to keeper: a connection just accepted (MaxConnections refuses
    // those), not one coming back after a reply.
    uint32_t fresh = 0;
};

struct handoff {
    int fd = -1;
    handoff_header header;
    std::string bytes;
};

enum class handoff_result { done, would_block, closed, failed };

// Sends without blocking (done: sent); the caller still owns (and closes) the descriptor.
handoff_result send_handoff(int channel, int fd, const handoff_header& header, const char* bytes, size_t length);
// Receives one message without blocking (done: in *out). would_block when
// none is there; closed when no other end of the channel is left; failed for
// a message that is no connection (EPROTO, dropped) or a broken channel.
handoff_result receive_handoff(int channel, handoff* out);
