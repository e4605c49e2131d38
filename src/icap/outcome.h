#pragma once
// What each step of a request reports to the next. The numbers that the
// debug log prints and the tests compare (the head's 1/0/400/500, the
// reading's 2000..5000) are made from these at one place each.

// Reading the request line and ICAP headers.
enum class head_outcome { read, broken, bad_request, out_of_memory };

// Reading the encapsulated entities: all of them, or a body up to the
// end of its preview (the client waits for "100 Continue" or a reply).
enum class read_outcome { complete, preview_complete, failed };

// The early decision on the first body.
enum class early_verdict { pass, block, scan };

// Reading and the early decision together: answer 204 at once, the block
// report replaced the message, go on with the second pass, or failed.
enum class message_outcome { pass, blocked, second_pass, failed };

// The second pass: answer 204, answer with the message, or failed.
enum class second_pass_outcome { no_content, message, failed };

// How a request ended, for the worker: reply sent (or nothing to send),
// failed (the error reply follows while the connection is open), bad
// request (400 and a close), out of memory.
enum class request_end { done, failed, bad_request, out_of_memory };

// From the head reader's numbers: 1, 0, 400, 500.
head_outcome head_outcome_of(int code);
// icap_dump_entities's numbers: 2000, 3000, 4000, 5000.
int message_code(message_outcome outcome);
// The worker's numbers: 200, 0, 400, 500.
int request_end_code(request_end end);
