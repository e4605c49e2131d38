#include "daemon/request_head.h"

#include <cstring>

namespace {

// White space as the C locale's isspace sees it.
bool is_blank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool request_head_complete(const char* data, size_t length) {
    if (length >= request_head_limit)
        return true;
    const char* end = data + length;
    for (const char* line = data; line < end;) {
        // A line is blank up to its first word; a NUL or the newline there
        // ends the head.
        const char* p = line;
        while (p < end && *p != '\n' && *p != '\0' && is_blank(static_cast<unsigned char>(*p)))
            ++p;
        if (p == end)
            return false;
        if (*p == '\n' || *p == '\0')
            return true;
        // A line with a word: whatever follows up to its newline, NULs
        // included, is not looked at.
        const void* newline = memchr(p, '\n', static_cast<size_t>(end - p));
        if (!newline)
            return false;
        line = static_cast<const char*>(newline) + 1;
    }
    return false;
}
