#pragma once
// The second pass over a read message, and the replies that carry it back.

#include <string>

#include "icap/outcome.h"
#include "icap/reply_writer.h"
#include "request/request_state.h"
#include "scan/scan_engine.h"

// List checks for messages without a body, scanning with `engine` (none:
// scanning is off), and the rewriting of changed messages; fills
// reply_encapsulated. `scanned` gets what a scan did.
second_pass_outcome second_pass(request_state& request, scan_engine* engine, scan_result& scanned);

// Head of the 200 reply: Encapsulated, the X- headers and the ISTAG.
std::string reply_head_200(const request_state& request);

// Sends the entities valid for the reply after what is queued in `out`:
// header blocks as they are, bodies chunked in MaxBlocksize pieces. A body
// that cannot be read to its end abandons the reply (the connection is
// closed without the last chunk). Returns non-zero on success.
int icap_send_entities(request_state& request, reply_writer& out);

// Queues the body's bytes from offset `from` to its end, from its file or
// from memory, as chunks of at most MaxBlocksize bytes; the caller ends the
// body. The chunk buffer is kept for the next body of the process.
bool send_body_chunks(entity_record& body, uint64_t from, reply_writer& out);

// Replaces the whole message by the report page of `template_name` as an
// HTTP response. Returns 200 or 0.
int icap_replace_all_entity_with_report(request_state& request, const char* template_name);

// Replaces the header by the HTTP head of a report whose body is `body`.
int block_page_head(entity_record& header, entity_record& body);

// Whether an entity of this name belongs in the reply to `method`.
bool valid_for_reply(const std::string& name, const std::string& method);
