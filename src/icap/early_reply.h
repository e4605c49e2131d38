#pragma once
// Starting the reply to a RESPMOD before its body has arrived whole.
//
// Debian 12's Squid 5.7 (its bug 5352) stops reading from the origin once
// 64 KiB of a body wait for the ICAP server, and goes on only when its
// client side pulls bytes of the ICAP reply: a server that holds its reply
// until the body is complete stalls every larger download. So when the
// client pauses before the end of the body, the reply starts: the ICAP 200
// head and the HTTP head as received (Content-Length kept), in a write of
// their own. Each further pause releases one body byte, from the start and
// in order, with a growing pause, up to TrickleLimit bytes. At the verdict
// a body that passes unchanged is sent on from there and ended with the
// zero chunk (and ICAP trailers carrying the X- headers when the client
// allows them); any other verdict closes the connection without the zero
// chunk, so that the proxy aborts the transfer and the client never holds
// the object whole.

#include <cstdint>
#include <list>
#include <string>

#include "request/request_state.h"

// TricklePause after `doublings` doublings, held at INT32_MAX: a large
// TricklePause must not wrap to a negative (endless) poll time-out.
int backoff_pause_ms(int32_t pause_ms, int doublings);

class early_reply {
public:
    early_reply(request_state& request, int* fd) : request_(request), fd_(fd) {}

    // Watches the rest of `body` from here on (after "100 Continue", or
    // from its start without a preview). Only the body of a RESPMOD whose
    // HTTP header comes right before it is watched, and only while both
    // settings are above 0.
    void watch(std::list<entity_record>::iterator body);
    bool watching() const { return watching_; }

    // Returns once the client's next bytes can be read (or the wait is left
    // to the reader's time-out). While the client pauses, starts the reply
    // and then releases body bytes. False when a write failed.
    bool wait_for_client();

    bool started() const { return started_; }
    uint64_t released() const { return released_.size(); }

    // The body is read whole; the verdict may change it from here on.
    void body_read();
    // Ends a started reply after the verdict whose action is `action`
    // (empty: none): a body that passes unchanged is sent on and ended,
    // any other is cut off. False when the rest could not be sent.
    bool finish(const std::string& action);
    // Closes the connection without the zero chunk: the client never holds
    // the body whole. `why` goes to the log.
    void cut_off(const char* why);

private:
    bool start();
    bool release_one();
    int pause_ms() const;
    bool passes_unchanged(const entity_record& header, const entity_record& body, const std::string& action);
    bool end_body(entity_record& body);

    request_state& request_;
    int* fd_;
    bool watching_ = false;
    bool started_ = false;
    std::list<entity_record>::iterator body_;
    uint64_t size_at_watch_ = 0;
    uint64_t received_ = 0;           // body bytes when the body was read whole
    std::string sent_header_;
    std::string released_;
    int backoff_ = 0;                 // doublings of the pause for the next release
    uint64_t size_at_release_ = 0;    // body bytes held at the last release
};
