#pragma once
// Percent and "+" decoding of URLs, shared by the host lists and the URL
// category filter.

#include <cstddef>

// Decodes the first `length` bytes of `text` into `out` and zero-terminates
// it: "%XX" (hex digits of either case) becomes that byte, "+" a blank, and
// every other byte, including a "%" without two hex digits, is copied.
// Decoding never lengthens the text, so `out` needs `length` + 1 bytes.
// Returns the decoded length.
size_t url_decode(char* out, const char* text, size_t length);
