#include "icap/icap_head.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "base/socket_io.h"
#include "support/socket_pair.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"

namespace {

// The worker's side of a socketpair, a fresh request record and settings.
// Table cases call SetUp again for each row.
class head_test : public ::testing::Test, protected socket_pair {
protected:
    void SetUp() override {
        TearDown();
        ASSERT_NO_FATAL_FAILURE(open_socket_pair());
        g_request.reset();
        g_config = icapd_config();
        virus_total = 0;
    }
    void TearDown() override {
        alarm(0);
        close_socket_pair();
    }
    // Sends the bytes, closes the client side, reads one head.
    int read_head(const std::string& bytes, bool close_after = true) {
        EXPECT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        if (close_after) {
            shutdown(peer, SHUT_WR);
        }
        return icap_read_head(&ours);
    }
};

TEST_F(head_test, request_lines) {
    struct {
        const char* line;
        int code;
    } cases[] = {
        {"OPTIONS icap://127.0.0.1/vorex ICAP/1.0\r\n", 1},
        {"REQMOD icap://h/s icap/1.0\r\n", 1},
        {"RESPMOD  icap://h/s\tICAP/1.0  extra\r\n", 1},
        {"options icap://h/s ICAP/1.0\r\n", 400},
        {"GET / HTTP/1.1\r\n", 400},
        {"OPTIONS icap://h/s ICAP/1.1\r\n", 400},
        {"OPTIONS icap://h/s\r\n", 400},
        {"\r\n", 400},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EQ(read_head(std::string(c.line) + "\r\n"), c.code) << c.line;
        TearDown();
    }
}

TEST_F(head_test, header_fields) {
    EXPECT_EQ(read_head("RESPMOD icap://h/s ICAP/1.0\r\n"
                        "Host: h\r\n"
                        "Preview: 0\r\n"
                        "Allow: 204, 206\r\n"
                        "Connection: CLOSE\r\n"
                        "X-Client-IP:  10.1.2.3 ignored\r\n"
                        "X-Client-Username: alice\r\n"
                        "Encapsulated: req-hdr=0, res-hdr=137, res-body=296\r\n"
                        "\r\n"),
              1);
    EXPECT_EQ(g_request.method, "RESPMOD");
    EXPECT_EQ(g_request.uri, "icap://h/s");
    EXPECT_EQ(g_request.version, "ICAP/1.0");
    EXPECT_EQ(g_request.preview, 0);
    EXPECT_EQ(g_request.allow_204, 1);
    EXPECT_TRUE(g_request.close_requested);
    EXPECT_EQ(g_request.client_ip, "10.1.2.3");
    EXPECT_EQ(g_request.username, "alice");
    std::vector<std::pair<std::string, uint64_t>> entities;
    for (const entity_record& e : g_request.entities)
        entities.emplace_back(e.name, e.offset);
    EXPECT_EQ(entities, (std::vector<std::pair<std::string, uint64_t>>{
                            {"req-hdr", 0}, {"res-hdr", 137}, {"res-body", 296}}));
}

TEST_F(head_test, header_values) {
    struct {
        const char* header;
        int code;
        int32_t preview;
        int32_t allow_204;
        bool close;
    } cases[] = {
        {"", 1, -1, 0, false},
        // Decimal only: no base prefixes, nothing after the digits.
        {"Preview: 0x10\r\n", 400, -1, 0, false},
        {"Preview: 010\r\n", 1, 10, 0, false},
        {"Preview: 12abc\r\n", 400, -1, 0, false},
        {"Preview: 4096\r\n", 1, 4096, 0, false},
        {"preview: 5\r\n", 1, -1, 0, false},  // names are case-sensitive
        {"Preview: none\r\n", 400, -1, 0, false},
        {"Preview:\r\n", 400, -1, 0, false},
        {"Preview: -1\r\n", 400, -1, 0, false},
        {"Preview: 99999999999\r\n", 400, -1, 0, false},
        {"Allow: 206, 204\r\n", 1, -1, 0, false},
        {"Allow: 204\r\n", 1, -1, 1, false},
        {"Allow: trailers\r\n", 1, -1, 0, false},
        {"Connection: keep-alive\r\n", 1, -1, 0, false},
        {"Connection: close\r\n", 1, -1, 0, true},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EQ(read_head(std::string("REQMOD icap://h/s ICAP/1.0\r\n") + c.header + "\r\n"), c.code) << c.header;
        if (c.code == 1) {
            EXPECT_EQ(g_request.preview, c.preview) << c.header;
            EXPECT_EQ(g_request.allow_204, c.allow_204) << c.header;
            EXPECT_EQ(g_request.close_requested, c.close) << c.header;
        }
        TearDown();
    }
}

TEST_F(head_test, encapsulated_items) {
    struct {
        const char* value;
        int code;
        const char* names;  // joined with spaces
    } cases[] = {
        {"req-hdr=0, req-body=412", 1, "req-hdr req-body"},
        {"req-hdr=0, null-body=170", 1, "req-hdr null-body"},
        {"opt-body=0", 1, "opt-body"},
        {"res-hdr=0, bogus-body=10", 0, "res-hdr"},
        {"req-hdr", 0, ""},
        {"null-body=0 null-body=0 null-body=0 null-body=0 null-body=0 null-body=0 null-body=0 null-body=0", 1,
         "null-body null-body null-body null-body null-body null-body null-body null-body"},
        // More than 8 items, or a second header, is refused before any more
        // records are made.
        {"null-body=0 null-body=0 null-body=0 null-body=0 null-body=0 null-body=0 null-body=0 null-body=0 x", 400, ""},
        {"req-hdr=0, null-body=20\r\nEncapsulated: null-body=0", 400, "req-hdr null-body"},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EQ(read_head(std::string("REQMOD icap://h/s ICAP/1.0\r\nEncapsulated: ") + c.value + "\r\n\r\n"),
                  c.code)
            << c.value;
        std::string names;
        for (const entity_record& e : g_request.entities)
            names += (names.empty() ? "" : " ") + e.name;
        EXPECT_EQ(names, c.names) << c.value;
        TearDown();
    }
}

TEST_F(head_test, client_leaves) {
    EXPECT_EQ(read_head(""), 1);  // before the request line: empty method
    EXPECT_EQ(g_request.method, "");
    EXPECT_EQ(ours, -1);

    SetUp();
    EXPECT_EQ(read_head("OPTIONS icap://h/s ICAP/1.0\r\nHost: h\r\n"), 1);  // end of file ends the head
    EXPECT_EQ(g_request.method, "OPTIONS");
}

TEST_F(head_test, over_long_line_is_refused) {
    // A line longer than the line buffer is refused whole: its tail is
    // never read as a header of its own (here an Encapsulated hidden in
    // another header's value), nor is a long request line cut.
    std::string padding = "X-Padding: ";
    padding += std::string(4095 - padding.size(), 'a');
    const std::string cases[] = {
        "REQMOD icap://h/s ICAP/1.0\r\n" + padding + "Encapsulated: req-hdr=0, null-body=10\r\n\r\n",
        "REQMOD icap://h/s ICAP/1.0\r\n" + padding + "a\r\n\r\n",
        "REQMOD icap://h/" + std::string(5000, 's') + " ICAP/1.0\r\n\r\n",
    };
    for (const std::string& c : cases) {
        SetUp();
        EXPECT_EQ(read_head(c), 400) << c.substr(0, 40);
        EXPECT_TRUE(g_request.entities.empty());
        TearDown();
    }
    // A line that just fits is read as it is.
    SetUp();
    std::string fits = "X-Padding: ";
    fits += std::string(4093 - fits.size(), 'a') + "\r\n";
    EXPECT_EQ(read_head("REQMOD icap://h/s ICAP/1.0\r\n" + fits + "Preview: 7\r\n\r\n"), 1);
    EXPECT_EQ(g_request.preview, 7);
}

TEST_F(head_test, pipelined_request_stays_buffered) {
    EXPECT_EQ(read_head("OPTIONS icap://h/s ICAP/1.0\r\n\r\nOPTIONS icap://h/t ICAP/1.0\r\n\r\n"), 1);
    EXPECT_FALSE(readline_empty());
    g_request.reset();
    EXPECT_EQ(icap_read_head(&ours), 1);
    EXPECT_EQ(g_request.uri, "icap://h/t");
}

TEST_F(head_test, options_reply) {
    const std::string start =
        "ICAP/1.0 200 OK\r\nMethods: RESPMOD, OPTIONS, REQMOD\r\nX-Include: X-Client-IP\r\n"
        "X-Allow-Out: X-Infection-Found, X-Virus-ID, X-Violations-Found\r\n"
        "Service: Vorex (R) icapd 6.0\r\n";
    struct {
        bool keep_alive, use_preview;
        std::string middle;
    } cases[] = {
        {true, true, "Allow: 204\r\nPreview: 0\r\nTransfer-Preview: *\r\nOptions-TTL: 3600\r\n"},
        {false, true, "Connection: close\r\nAllow: 204\r\nPreview: 0\r\nTransfer-Preview: *\r\nOptions-TTL: 3600\r\n"},
        {true, false, "Options-TTL: 3600\r\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        g_config.keep_alive = c.keep_alive;
        g_config.use_preview = c.use_preview;
        virus_total = 123456;
        EXPECT_EQ(send_options(&ours), 200);
        EXPECT_EQ(received(), start + c.middle +
                                  "Encapsulated: null-body=0\r\nISTAG: \"vorex-icapd6.0=123456\"\r\n\r\n");
        TearDown();
    }
}

TEST_F(head_test, error_replies) {
    struct {
        int code;
        bool keep_alive;
        std::string reply;
    } cases[] = {
        {400, true, "ICAP/1.0 400 Bad Request\r\nEncapsulated: null-body=0\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n"},
        {0, true, "ICAP/1.0 200 OK\r\nEncapsulated: null-body=0\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n"},
        {500, false,
         "ICAP/1.0 200 OK\r\nEncapsulated: null-body=0\r\nConnection: close\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SetUp();
        g_config.keep_alive = c.keep_alive;
        send_error_msg(&ours, c.code);
        EXPECT_EQ(received(), c.reply);
        TearDown();
    }
    SetUp();
    int closed = -1;
    send_error_msg(&closed, 400);  // nothing to send to
    EXPECT_EQ(closed, -1);
}

TEST_F(head_test, options_write_failure) {
    close(peer);
    peer = -1;
    EXPECT_EQ(send_options(&ours), 0);
    EXPECT_EQ(ours, -1);
}

}  // namespace
