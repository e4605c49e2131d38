// One RESPMOD with a scan, driven end to end through the transaction over a
// socket pair, with a scan engine that answers as told: no scanning daemon.

#include "icap/transaction.h"

#include <cstring>

#include "icap/icap_head.h"
#include "icap/message_fixture.h"
#include "scan/scan_engine.h"

namespace {

// Answers every scan with `code`, or fails as an unreachable engine does.
class fake_engine : public scan_engine {
public:
    bool reachable = true;
    uint32_t code = 0;
    const char* threat = nullptr;
    int scans = 0;

    engine_answer scan(entity_record& entity, request_state&) override {
        ++scans;
        body_seen = entity.file ? std::string() : entity.data;
        engine_answer answer;
        answer.answered = reachable;
        answer.code = code;
        if (threat)
            answer.threats.push_back({threat, 0});
        return answer;
    }
    int refresh_istag() override { return 200; }
    int get_info() override { return 200; }

    std::string body_seen;
};

class transaction_test : public message_fixture {
protected:
    // A RESPMOD of `body` (no preview) through serve_request; the reply.
    std::string serve(const std::string& body, bool allow_204) {
        size_t req = strlen(req_hdr);
        size_t res = strlen(res_hdr);
        std::string head = "RESPMOD icap://localhost/av ICAP/1.0\r\nHost: localhost\r\n";
        if (allow_204)
            head += "Allow: 204\r\n";
        head += "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req) +
                ", res-body=" + std::to_string(req + res) + "\r\n\r\n";
        send(head + req_hdr + res_hdr + chunked(body));
        shutdown(peer, SHUT_WR);
        EXPECT_EQ(serve_request(&ours, &engine), 200);
        return received();
    }
    // The reply's ICAP head (up to its empty line) and what follows it.
    static std::pair<std::string, std::string> split(const std::string& reply) {
        size_t end = reply.find("\r\n\r\n");
        if (end == std::string::npos)
            return {reply, ""};
        return {reply.substr(0, end + 4), reply.substr(end + 4)};
    }

    fake_engine engine;
};

TEST_F(transaction_test, clean_body_is_answered_204_or_echoed) {
    EXPECT_EQ(serve("hello world", true), "ICAP/1.0 204 No Content" + istag_text());
    EXPECT_EQ(engine.scans, 1);
    EXPECT_EQ(engine.body_seen, "hello world");

    reset();
    std::string expected = "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + std::to_string(strlen(res_hdr)) +
                           istag_text() + res_hdr + "b\r\nhello world\r\n0\r\n\r\n";
    EXPECT_EQ(serve("hello world", false), expected);
    EXPECT_EQ(cache_files(), 0);
}

// An infected body and an engine that cannot answer both end in a report
// page in place of the body, never in the body itself, with or without
// Allow: 204.
TEST_F(transaction_test, infected_or_failed_scan_replaces_the_body_by_a_report) {
    struct row {
        const char* what;
        bool reachable;
        const char* threat;
        std::string x_headers;   // between Encapsulated and the ISTAG
        const char* page;
    };
    const row rows[] = {
        {"infected", true, "EICAR-Test",
         "\r\nX-Virus-ID: EICAR-Test\r\nX-Infection-Found: Type=0; Resolution=0; Threat=EICAR-Test;",
         "Access denied"},
        {"engine failed", false, nullptr, "", "Content could not be checked"},
    };
    for (const row& r : rows) {
        for (bool allow_204 : {true, false}) {
            reset();
            engine = fake_engine();
            engine.reachable = r.reachable;
            engine.code = 0x20;   // infected, not cured
            engine.threat = r.threat;
            auto [head, rest] = split(serve("hello world", allow_204));
            size_t http_head_end = rest.find("\r\n\r\n");
            ASSERT_NE(http_head_end, std::string::npos) << r.what << rest;
            std::string http_head = rest.substr(0, http_head_end + 4);
            EXPECT_EQ(head, "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" +
                                std::to_string(http_head.size()) + r.x_headers + istag_text())
                << r.what;
            EXPECT_EQ(http_head.rfind("HTTP/1.1 200 OK\r\nVia: Vorex (R) icapd\r\nCache-Control: no-cache\r\n"
                                      "Content-Type: text/html\r\nContent-Length: ",
                                      0),
                      0u)
                << r.what << http_head;
            std::string page = rest.substr(http_head.size());
            EXPECT_NE(page.find(r.page), std::string::npos) << r.what;
            EXPECT_EQ(page.find("hello world"), std::string::npos) << r.what;
            EXPECT_EQ(page.substr(page.size() - 7), "\r\n0\r\n\r\n") << r.what;
            EXPECT_EQ(engine.scans, 1) << r.what;
        }
    }
}

}  // namespace
