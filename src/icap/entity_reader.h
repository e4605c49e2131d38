#pragma once
// Reading the encapsulated HTTP message of a REQMOD or RESPMOD request:
// header blocks into memory, chunked bodies into memory or their temporary
// files. What is read decides nothing here: the transaction decides.

#include "icap/body_sink.h"
#include "icap/outcome.h"
#include "request/request_state.h"

class early_reply;
class body_pass_through;

// Reads the entities in chain order: header blocks, and a body to its last
// chunk or, with a preview, to the preview's end (preview_complete: the
// client waits for the decision). A body that ended in its preview (ieof)
// leaves no preview (-1). `early`, when given, watches a body sent without
// a preview and may start the reply while the client pauses. `pass`, when
// given, takes a body whose verdict the heads settle.
read_outcome read_entities(request_state& request, int* fd, early_reply* early, body_pass_through* pass = nullptr);

// Reads the rest of a previewed body after "100 Continue", appended to what
// the preview brought; `early` as for read_entities.
read_outcome read_rest_of_body(request_state& request, int* fd, entity_record& body, early_reply* early);

// Drops what the line reader has read ahead of a preview's end: none of it
// may be taken for the next request.
void drop_read_ahead(int* fd);
