#include "icap/reply.h"

#include <cstring>

#include "icap/icap_head.h"
#include "icap/message_fixture.h"
#include "icap/transaction.h"

namespace {

class reply_test : public message_fixture {
protected:
    // Runs the whole request path on the bytes and returns the reply.
    std::string handle(const std::string& bytes) {
        send(bytes);
        shutdown(peer, SHUT_WR);
        EXPECT_EQ(icap_handle(&ours), 200);
        return received();
    }
    std::string respmod(const std::string& body, bool allow_204) {
        g_request.method = "RESPMOD";
        g_request.allow_204 = allow_204;
        size_t req = strlen(req_hdr);
        add_entities({{"req-hdr", 0}, {"res-hdr", req}, {"res-body", req + strlen(res_hdr)}});
        return std::string(req_hdr) + res_hdr + chunked(body);
    }
};

TEST_F(reply_test, respmod_clean_body) {
    EXPECT_EQ(handle(respmod("hello world", true)), "ICAP/1.0 204 No Content" + istag_text());
    reset();
    std::string expected = "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" +
                           std::to_string(strlen(res_hdr)) + istag_text() + res_hdr + "b\r\nhello world\r\n0\r\n\r\n";
    EXPECT_EQ(handle(respmod("hello world", false)), expected);
    EXPECT_EQ(cache_files(), 0) << "the body file goes once it is sent";
}

TEST_F(reply_test, reqmod_replies_list_the_request_header) {
    const std::string header = "POST /up HTTP/1.1\r\nHost: h.example\r\nContent-Length: 3\r\n\r\n";
    g_request.method = "REQMOD";
    add_entities({{"req-hdr", 0}, {"req-body", header.size()}});
    std::string expected = "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, req-body=" + std::to_string(header.size()) +
                           istag_text() + header + "3\r\nabc\r\n0\r\n\r\n";
    EXPECT_EQ(handle(header + chunked("abc")), expected);

    // Without a body; a white-listed host keeps the offsets right too.
    const std::string get = "GET / HTTP/1.1\r\nHost: h.example\r\n\r\n";
    for (bool white : {false, true}) {
        reset();
        if (white)
            white_host("h.example");
        g_request.method = "REQMOD";
        add_entities({{"req-hdr", 0}, {"null-body", get.size()}});
        EXPECT_EQ(handle(get), "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + std::to_string(get.size()) +
                                   istag_text() + get);
    }
}

TEST_F(reply_test, body_without_http_header_is_scanned) {
    // The scanner cannot be reached: the body gets the failed-check page
    // with a header of its own instead of passing unscanned.
    for (const char* method : {"REQMOD", "RESPMOD"}) {
        reset();
        scanning_on();
        g_request.method = method;
        g_request.allow_204 = 1;
        add_entities({{strcmp(method, "REQMOD") == 0 ? "req-body" : "res-body", 0}});
        std::string reply = handle(chunked("hello world"));
        EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=", 0), 0u) << reply;
        EXPECT_NE(reply.find("\r\n\r\nHTTP/1.1 200 OK\r\n"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("hello world"), std::string::npos) << reply;
    }
}

TEST_F(reply_test, header_without_body_item_is_closed_by_null_body) {
    const std::string get = "GET / HTTP/1.1\r\nHost: h.example\r\n\r\n";
    g_request.method = "REQMOD";
    add_entities({{"req-hdr", 0}, {"opt-body", get.size()}});
    EXPECT_EQ(handle(get), "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + std::to_string(get.size()) +
                               istag_text() + get);
}

TEST_F(reply_test, black_host_without_body_gets_the_block_page) {
    black_host("h.example");
    const std::string get = "GET /x HTTP/1.1\r\nHost: h.example\r\n\r\n";
    g_request.method = "REQMOD";
    g_request.allow_204 = 1;
    add_entities({{"req-hdr", 0}, {"null-body", get.size()}});
    std::string reply = handle(get);
    EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\nX-Response-Info: Report\r\nX-Response-Desc: url was blocked by administrator"),
              std::string::npos);
    EXPECT_NE(reply.find("HTTP/1.1 200 OK\r\nVia: Vorex (R) icapd\r\nCache-Control: no-cache\r\n"
                         "Content-Type: text/html\r\nContent-Length: "),
              std::string::npos);
    EXPECT_NE(reply.find("Access blocked"), std::string::npos);
    EXPECT_EQ(reply.substr(reply.size() - 7), "\r\n0\r\n\r\n");
}

TEST_F(reply_test, body_is_sent_in_max_blocksize_chunks) {
    g_config.max_blocksize = 10;
    std::string reply = handle(respmod(std::string(25, 'x'), false));
    std::string chunks = "a\r\n" + std::string(10, 'x') + "\r\na\r\n" + std::string(10, 'x') + "\r\n5\r\nxxxxx\r\n0\r\n\r\n";
    EXPECT_EQ(reply.substr(reply.size() - chunks.size()), chunks);
}

TEST_F(reply_test, body_that_cannot_be_read_abandons_the_reply) {
    g_request.method = "RESPMOD";
    entity_record& header = g_request.entities.emplace_back("res-hdr", 0);
    header.header = "HTTP/1.1 200 OK\r\n\r\n";
    header.size = header.header->size();
    entity_record& body = g_request.entities.emplace_back("res-body", header.size);
    body.temp_path = cache + "body";
    body.file = fopen(body.temp_path.c_str(), "w+");
    fputs("short", body.file);
    body.size = 100;   // more than the file holds
    reply_writer out(&ours);
    EXPECT_EQ(icap_send_entities(g_request, out), 0);
    EXPECT_EQ(ours, -1);
    std::string seen = received();
    EXPECT_EQ(seen.find("0\r\n\r\n"), std::string::npos) << seen;
}

}  // namespace
