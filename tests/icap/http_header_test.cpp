#include "icap/http_header.h"

#include <gtest/gtest.h>

namespace {

TEST(http_header, request_url) {
    struct row {
        const char* header;
        const char* url;
    };
    const row rows[] = {
        {"GET /a/b?c HTTP/1.1\r\nHost: h.example\r\n\r\n", "h.example/a/b?c"},
        {"GET a HTTP/1.1\r\nHost: h.example/\r\n\r\n", "h.example/a"},
        {"post //x HTTP/1.1\r\nHost: h.example\r\n\r\n", "h.example/x"},
        {"GET http://abs.example/p HTTP/1.1\r\nHost: h.example\r\n\r\n", "http://abs.example/p"},
        {"GET /p HTTP/1.1\r\nReferer: http://r.example/from\r\n\r\n", "http://r.example/from/p"},
        {"GET /p HTTP/1.1\r\nX: y\r\n\r\n", ""},
        {"GET http://abs.example/p HTTP/1.0\r\nX: y\r\n\r\n", "http://abs.example/p"},
        // Only the first line is the request line, whatever its method.
        {"HEAD /p HTTP/1.1\r\nHost: h.example\r\nGetX: http://innocent.example/\r\n\r\n", "h.example/p"},
        {"GET /p HTTP/1.1\r\nHost: h.example\r\nget http://innocent.example/\r\n\r\n", "h.example/p"},
        // An absolute target or CONNECT's authority wins over a lying Host,
        // and a missing one.
        {"HEAD http://bad.example/ HTTP/1.1\r\nHost: good.example\r\n\r\n", "http://bad.example/"},
        {"PUT http://bad.example/upload HTTP/1.1\r\n\r\n", "http://bad.example/upload"},
        {"GET https://bad.example/x HTTP/1.1\r\nHost: bad.example\r\n\r\n", "https://bad.example/x"},
        {"CONNECT bad.example:443 HTTP/1.1\r\nHost: good.example\r\n\r\n", "bad.example:443"},
        {"OPTIONS * HTTP/1.1\r\nHost: h.example\r\n\r\n", "h.example/*"},
        // A name inside another header's value is no header.
        {"GET /p HTTP/1.1\r\nX-Note: Host: evil.example\r\nHost: h.example\r\n\r\n", "h.example/p"},
    };
    for (const row& r : rows)
        EXPECT_EQ(request_url(r.header), r.url) << r.header;
}

TEST(http_header, request_url_is_cut) {
    std::string header = "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: h\r\n\r\n";
    EXPECT_EQ(request_url(header).size(), 9999u);
}

TEST(http_header, content_length) {
    struct row {
        const char* header;
        int64_t length;
    };
    const row rows[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n", 1234},
        {"HTTP/1.1 206 OK\r\nContent-Range: bytes 0-99/5000\r\nContent-Length: 100\r\n\r\n", 5000},
        {"HTTP/1.1 206 OK\r\nContent-Range: bytes 0-99/*\r\n\r\n", -1},
        {"HTTP/1.1 200 OK\r\ncontent-length: 12345678901\r\n\r\n", 12345678901LL},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", INT64_MAX},
        {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", INT64_MAX},
        {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", -1},
        {"HTTP/1.1 200 OK\r\n\r\n", -1},
    };
    for (const row& r : rows)
        EXPECT_EQ(real_content_length(r.header), r.length) << r.header;
}

TEST(http_header, replace_content_length) {
    std::string header = "HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\nContent-Length: 100\r\nA: b\r\n\r\n";
    replace_content_length(header, 42);
    EXPECT_EQ(header, "HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\nContent-Length: 42\r\nA: b\r\n\r\n");
    std::string without = "HTTP/1.1 200 OK\r\n\r\n";
    replace_content_length(without, 42);
    EXPECT_EQ(without, "HTTP/1.1 200 OK\r\n\r\n");
}

TEST(http_header, header_safe_blanks_control_bytes) {
    EXPECT_EQ(header_safe(std::string("a\r\nb\tc\x01\x7f" "d\0e", 11)), "a  b\tc  d e");
}

}  // namespace
