#pragma once
// The head of an ICAP request and the fixed replies: OPTIONS, the error
// reply and the ISTAG line that closes every reply head.

#include <cstdint>
#include <string>

#include "request/request_state.h"

// Reads the request line and the ICAP headers into g_request and builds its
// entity chain from Encapsulated. Arms the Timeout alarm. Returns 1 (head
// read, or the client left before a request line: empty method), 0 (broken
// connection or unknown Encapsulated item), 400 (malformed request) or 500
// (out of memory).
int icap_read_head(int* fd);

// Appends an entity record to the chain; 200, or 0 when out of memory.
int icap_append_entity(request_state& state, const char* name, uint64_t offset);

// "\r\nISTAG: ...\r\n\r\n" with the virus record count: ends a reply head.
std::string istag_text();

// The error reply for a failure code: 400 Bad Request for 400, else 200 OK
// with a null body. Nothing is sent when *fd is -1.
void send_error_msg(int* fd, int code);

// The OPTIONS reply; 200 when sent, 0 when the write failed.
int send_options(int* fd);
