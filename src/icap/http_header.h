#pragma once
// Reading and rewriting the HTTP header blocks carried in ICAP messages.

#include <cstdint>
#include <string>

// Finds header `name` (e.g. "content-length:", case ignored) at the start
// of the text or of a line; stores the rest of that line after the blanks
// that follow the name, up to CR or LF. Returns 1 when found, else 0.
int find_header(const std::string& header, const char* name, std::string& value);

// The URL of an HTTP request header, for any method: an absolute http://
// or https:// target, or CONNECT's host:port; else Host (or Referer)
// joined with the target; empty when none of these.
std::string request_url(const std::string& header);

// Announced body length of a response header: the total of Content-Range,
// else Content-Length; -1 when absent or unreadable, INT64_MAX on overflow.
int64_t real_content_length(const std::string& header);

// Replaces the value of the first Content-Length line by the new size;
// a header without one stays as it is.
void replace_content_length(std::string& header, uint64_t size);

// Text fit for an ICAP or HTTP header line: control bytes other than tab
// become blanks, so a value can never end the line or the head.
std::string header_safe(const std::string& text);
