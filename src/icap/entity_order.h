#pragma once
// Which lists of Encapsulated items frame one HTTP message.

#include "request/request_state.h"

// True when the items of a REQMOD or RESPMOD request can frame one message:
// REQMOD [req-hdr] then req-body or null-body; RESPMOD [req-hdr] [res-hdr]
// then res-body or null-body (opt-body also ends a list). Each item comes
// once, in that order, and nothing follows the body. A list without its
// closing item is left to the entity reader, which fails it.
bool entities_frame_one_message(const request_state& request);
