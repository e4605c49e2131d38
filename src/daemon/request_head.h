#pragma once
// Whether an ICAP request head has arrived whole, judged on the bytes a
// connection has sent so far, as the head reader will split them: it ends
// at the first blank line (a line of white space only, or one that a NUL
// cuts short), and a blank first line is answered at once.

#include <cstddef>

// The most a connection's waiting head is held before a worker takes it as
// it stands; the head reader's own limits answer a longer one.
constexpr size_t request_head_limit = 16384;

bool request_head_complete(const char* data, size_t length);
