#include "daemon/request_head.h"

#include <cctype>

bool request_head_complete(const char* data, size_t length) {
    if (length >= request_head_limit)
        return true;
    bool blank = true;  // no word on the current line so far
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\n') {
            if (blank)
                return true;
            blank = true;
        } else if (c == '\0') {
            // The line ends here for the reader; what follows up to the
            // newline is not looked at.
            if (blank)
                return true;
        } else if (!isspace(c)) {
            blank = false;
        }
    }
    return false;
}
