#include "filters/url_decode.h"

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

size_t url_decode(char* out, const char* text, size_t length)
{
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '%' && length - i > 2) {
            const int high = hex_value(text[i + 1]);
            const int low = hex_value(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out[n++] = static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out[n++] = c == '+' ? ' ' : c;
    }
    out[n] = '\0';
    return n;
}
