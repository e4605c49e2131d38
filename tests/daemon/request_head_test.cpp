// Whether a request head has arrived whole, as the head reader will split
// the bytes: its first blank line ends it.

#include <string>

#include <gtest/gtest.h>

#include "daemon/request_head.h"

using namespace std::string_literals;

TEST(request_head, complete_at_the_first_blank_line) {
    const struct {
        std::string bytes;
        bool complete;
    } cases[] = {
        {"", false},
        {"OPTIONS icap://h/s ICAP/1.0\r\n", false},
        {"OPTIONS icap://h/s ICAP/1.0\r\nHost: h\r\n", false},
        {"OPTIONS icap://h/s ICAP/1.0\r\nHost: h\r\n\r", false},
        {"OPTIONS icap://h/s ICAP/1.0\r\nHost: h\r\n\r\n", true},
        {"OPTIONS icap://h/s ICAP/1.0\nHost: h\n\n", true},             // bare newlines
        {"OPTIONS icap://h/s ICAP/1.0\r\n \t\r\n", true},                // white space only
        {"\r\n", true},                                                 // a blank first line
        {"OPTIONS icap://h/s ICAP/1.0\r\n\0rest\r\n"s, true},            // a NUL ends the line
        {"OPTIONS icap://h/s ICAP/1.0\r\nX: a\0b\r\n"s, false},           // not at its start
        {std::string(request_head_limit - 1, 'a'), false},
        {std::string(request_head_limit, 'a'), true},                   // taken as it stands
    };
    for (const auto& c : cases)
        EXPECT_EQ(request_head_complete(c.bytes.data(), c.bytes.size()), c.complete) << c.bytes.substr(0, 60);
}
