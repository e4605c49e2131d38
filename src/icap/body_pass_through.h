#pragma once
// Bodies whose verdict the heads settle. When no BlockAll, black list, URL
// category or MIME reject can block the message and nothing scans it, the
// message goes back unchanged whatever its body holds, so the body is not
// spooled:
// - when the reply is the message (no 204), the body is streamed through:
//   with its first bytes go the ICAP 200 head and the HTTP head, then the
//   body in the chunks the reply from a spooled body has (MaxBlocksize
//   bytes, planned from Content-Length), each byte as soon as it is read;
//   the zero chunk follows only once the usual decision and second pass,
//   run after the body as always, have given the same reply. Any other
//   outcome, a body that does not fill its Content-Length exactly or a
//   client that fails mid-body cuts the connection without it, so that the
//   proxy never takes a cut body for a whole one;
// - when the answer will be 204, the body bytes are read and dropped.
// A body to be sent back without Content-Length, or one small enough to be
// held in memory, is read as usual.

#include <cstdint>
#include <list>
#include <string>

#include "icap/body_sink.h"
#include "icap/outcome.h"
#include "icap/send_queue.h"
#include "request/request_state.h"
#include "scan/scan_engine.h"

class body_pass_through final : public body_sink {
public:
    // `scanning`: a scan engine is there to ask.
    body_pass_through(request_state& request, int* fd, bool scanning)
        : request_(request), fd_(fd), scanning_(scanning), queue_(fd, "pass", request.outcome) {}

    // The sink that takes `body` when its verdict is settled; nullptr when
    // the body is read as usual.
    body_sink* take(std::list<entity_record>::iterator body);

    // True once bytes of a streamed reply went out.
    bool started() const { return started_; }
    // Ends a started reply after the reading and early decision `read`:
    // runs the second pass with `engine` and sends the zero chunk when the
    // reply is what it wants.
    request_end finish(message_outcome read, scan_engine* engine);

    bool take(const char* bytes, size_t length) override;
    bool wait_for_client() override;

private:
    enum class mode { none, drop, stream };

    std::string start_text();
    void cut_off(const char* why);

    request_state& request_;
    int* fd_;
    bool scanning_;
    mode mode_ = mode::none;
    bool started_ = false;
    std::list<entity_record>::iterator body_;
    uint64_t length_ = 0;      // the body's Content-Length
    uint64_t block_ = 1;       // MaxBlocksize
    uint64_t taken_ = 0;       // body bytes handed to the queue
    std::string sent_head_;    // the ICAP head that went out
    std::string sent_header_;  // the HTTP head that went out
    send_queue queue_;
};
