#pragma once
// Reading the encapsulated HTTP message of a REQMOD or RESPMOD request:
// header blocks into memory, chunked bodies into temporary files, with the
// early decision and the ICAP preview exchange on the first body.

#include "request/request_state.h"

// Results of icap_dump_entities (and of the early decision).
constexpr int dump_scan_needed = 1000;  // decision only: the body must be scanned
constexpr int dump_pass = 2000;         // decided in the preview: answer 204
constexpr int dump_blocked = 3000;      // entities replaced by the block report
constexpr int dump_second_pass = 4000;  // all read: go on with icap_hold_entities
constexpr int dump_failed = 5000;       // reading failed

class early_reply;

// `early`, when given, watches the body the client sends after "100
// Continue" (or without a preview) and may start the reply while it pauses.
int icap_dump_entities(request_state& request, int* fd, early_reply* early = nullptr);
