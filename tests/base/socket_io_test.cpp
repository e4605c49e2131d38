#include "base/socket_io.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

#include "support/socket_pair.h"

namespace {

// A connected pair: `ours` is read by the code under test, `peer` is the
// other side. The line reader starts empty for every test.
class socket_io_test : public ::testing::Test, protected socket_pair {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(open_socket_pair());
    }
    void TearDown() override {
        close_socket_pair();
    }
    void send_text(const std::string& text) {
        ASSERT_EQ(write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void close_peer() {
        close(peer);
        peer = -1;
    }
    std::string line(size_t size = 4096) {
        std::string buffer(size, '\0');
        int64_t n = readline(&ours, &buffer[0], size);
        return n > 0 ? std::string(buffer.c_str()) : "<" + std::to_string(n) + ">";
    }
};

TEST_F(socket_io_test, pipelined_lines_come_from_the_buffer) {
    send_text("OPTIONS icap://x ICAP/1.0\r\n\r\nREQMOD");
    EXPECT_EQ(line(), "OPTIONS icap://x ICAP/1.0\r\n");
    EXPECT_FALSE(readline_empty());
    EXPECT_EQ(line(), "\r\n");
    EXPECT_FALSE(readline_empty());
    close_peer();
    EXPECT_EQ(line(), "REQMOD");  // end of file after some characters ends the line
    EXPECT_TRUE(readline_empty());
    EXPECT_EQ(line(), "<0>");      // nothing more: closed
    EXPECT_EQ(ours, -1);
}

TEST_F(socket_io_test, long_lines_come_in_pieces) {
    send_text(std::string(10, 'a') + "\n");
    EXPECT_EQ(line(5), "aaaa");
    EXPECT_EQ(line(5), "aaaa");
    EXPECT_EQ(line(5), "aa\n");
    char one[1] = {'x'};
    EXPECT_EQ(readline(&ours, one, 1), 1);
    EXPECT_EQ(one[0], '\0');
}

TEST_F(socket_io_test, readline_time_out_closes) {
    socket_io_set_timeout(1);
    EXPECT_EQ(line(), "<0>");
    EXPECT_EQ(ours, -1);
}

TEST_F(socket_io_test, exact_reads_take_the_read_ahead_first) {
    send_text("head\r\nBODY");
    EXPECT_EQ(line(), "head\r\n");
    send_text("more");
    char body[9] = {};
    EXPECT_EQ(read_all(&ours, body, 8, true), 8);
    EXPECT_STREQ(body, "BODYmore");

    // Without the line reader the buffered bytes are left alone.
    send_text("x\nleft");
    EXPECT_EQ(line(), "x\n");
    send_text("wire");
    char raw[5] = {};
    EXPECT_EQ(read_all(&ours, raw, 4, false), 4);
    EXPECT_STREQ(raw, "wire");
    close_peer();
    EXPECT_EQ(line(), "left") << "read-ahead kept";
}

TEST_F(socket_io_test, short_read_at_end_of_file_returns_the_count) {
    send_text("abc");
    close_peer();
    char buffer[10];
    EXPECT_EQ(read_all(&ours, buffer, 10, false), 3);
    EXPECT_GE(ours, 0);
}

TEST_F(socket_io_test, broken_connection_is_closed_and_marked) {
    close_peer();
    char data[16] = "0123456789abcde";
    EXPECT_EQ(write_all(&ours, data, 16), -1);
    EXPECT_EQ(ours, -1);
    EXPECT_EQ(write_all(&ours, data, 16), -1);
    EXPECT_EQ(read_all(&ours, data, 16, true), -1);
}

TEST_F(socket_io_test, read_time_out_keeps_the_descriptor) {
    socket_io_set_timeout(1);
    char buffer[4];
    EXPECT_EQ(read_all(&ours, buffer, 4, false), -1);
    EXPECT_GE(ours, 0);
}

TEST_F(socket_io_test, uint32_in_network_order) {
    EXPECT_EQ(write_uint32(&ours, 0x01020304u), 4);
    unsigned char wire[4];
    ASSERT_EQ(read(peer, wire, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(wire), 4), "\x01\x02\x03\x04");

    send_text(std::string("\xfe\xdc\xba\x98", 4));
    uint32_t value = 0;
    EXPECT_EQ(read_uint32(&ours, &value), 4);
    EXPECT_EQ(value, 0xfedcba98u);

    send_text("\x01\x02");
    close_peer();
    value = 7;
    EXPECT_EQ(read_uint32(&ours, &value), 2);
    EXPECT_EQ(value, 7u);
}

TEST_F(socket_io_test, waits) {
    EXPECT_EQ(wait_readable(ours, 0), 0);
    EXPECT_EQ(wait_writable(ours, 0), 1);
    send_text("x");
    EXPECT_EQ(wait_readable(ours, -1), 1);
    EXPECT_EQ(wait_readable(-1, 0), 0);

    // A limit too long for poll's milliseconds waits; it must not wrap
    // round to a short time-out (4294968 s would be 704 ms).
    char byte;
    ASSERT_EQ(read(ours, &byte, 1), 1);
    std::thread late([&] {
        sleep(1);
        send_text("y");
    });
    EXPECT_EQ(wait_readable(ours, 4294968), 1);
    late.join();
}

TEST(find_nocase_test, cases) {
    struct {
        const char* text;
        const char* pattern;
        int position;  // -1: not found
    } cases[] = {
        {"Content-Type: text/html", "content-type", 0},
        {"X: a\r\nCONTENT-LENGTH: 5", "Content-Length", 6},
        {"abc", "", 0},
        {"", "", 0},
        {"abc", "abcd", -1},
        {"", "a", -1},
        {"aaab", "AAB", 1},
    };
    for (const auto& c : cases) {
        const char* found = find_nocase(c.text, c.pattern);
        EXPECT_EQ(found ? static_cast<int>(found - c.text) : -1, c.position) << c.text << " / " << c.pattern;
    }
}

}  // namespace
