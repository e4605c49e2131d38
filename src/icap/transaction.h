#pragma once
// One ICAP request on a connection, from its head to its reply, in the
// order of its steps.

#include "icap/outcome.h"
#include "request/request_state.h"
#include "scan/scan_engine.h"

class early_reply;

// Results of icap_dump_entities, the numbers of message_code.
constexpr int dump_pass = 2000;         // decided in the preview: answer 204
constexpr int dump_blocked = 3000;      // entities replaced by the block report
constexpr int dump_second_pass = 4000;  // all read: go on with the second pass
constexpr int dump_failed = 5000;       // reading failed

// Reads the next request's head into g_request and answers it, scanning
// with `engine` (nullptr: scanning is off). Returns 200 (reply sent, or
// nothing to send), 0 (failed: the worker sends the error reply while the
// connection is open), 400 or 500.
int serve_request(int* fd, scan_engine* engine);

// The reply to g_request, whose head is read, with the configured engine;
// the numbers of serve_request.
int icap_handle(int* fd);

// The reading side of a REQMOD or RESPMOD with the configured engine: the
// entities, the early decision on the body, and "100 Continue" and the
// rest of the body when the preview cannot decide. `early`, when given,
// watches the body the client sends after "100 Continue" (or without a
// preview). Returns one of the dump_* numbers.
int icap_dump_entities(request_state& request, int* fd, early_reply* early = nullptr);
