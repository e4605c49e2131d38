// The early reply on the wire: a hand-made client that behaves like Squid
// 5.7 (preview, "100 Continue", part of the body, then a pause) against the
// real daemon scanning with the stand-in.

#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "integration/daemon_harness.h"
#include "integration/scan_standin.h"

namespace {

const std::string req_hdr = "GET /file.bin HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
// 100 records of the main base, EICAR and the joke signature.
const std::string istag = "ISTAG: \"vorex-icapd6.0=102\"\r\n\r\n";

std::string chunk(const std::string& data) {
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

std::string res_hdr(size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(length) +
           "\r\n\r\n";
}

// Everything that arrives until the peer closes or is silent for idle_ms.
std::string read_idle(int fd, int idle_ms) {
    std::string data;
    char buffer[65536];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, idle_ms) != 1)
            break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

bool peer_closed(int fd) {
    pollfd p = {fd, POLLIN, 0};
    char byte;
    return poll(&p, 1, 5000) == 1 && recv(fd, &byte, 1, 0) == 0;
}

class early_reply_wire : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }

    void start(const std::string& extra) {
        scanner = std::make_unique<standin_process>(daemon.dir(),
                                                    std::vector<std::string>{"--signature", "joke:Joke.Test:JOKE!"});
        ASSERT_TRUE(scanner->ready());
        daemon.write_config("VorexAddress = " + scanner->local_address() + "\nInfected = report\n" + extra);
        ASSERT_TRUE(daemon.start()) << daemon.log();
    }

    // Sends the head and a 1024-byte preview of `body` as Squid does, reads
    // "100 Continue", then sends `more` bytes of the rest. Returns the
    // connection.
    // Without a preview the first 1024 bytes go as an ordinary chunk.
    int begin(const std::string& body, size_t more, bool trailers = true, bool preview = true) {
        std::string res = res_hdr(body.size());
        std::string head = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n" +
                           std::string(preview ? "Preview: 1024\r\n" : "") +
                           std::string(trailers ? "Allow: trailers\r\n" : "") +
                           "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req_hdr.size()) +
                           ", res-body=" + std::to_string(req_hdr.size() + res.size()) + "\r\n\r\n";
        int fd = daemon.connect();
        EXPECT_TRUE(daemon_harness::send_all(fd, head + req_hdr + res + chunk(body.substr(0, 1024)) +
                                                     (preview ? "0\r\n\r\n" : "")));
        if (preview) {
            EXPECT_EQ(daemon_harness::read_until(fd, "\r\n\r\n"), "ICAP/1.0 100 Continue\r\n" + istag);
        }
        if (more > 0) {
            EXPECT_TRUE(daemon_harness::send_all(fd, chunk(body.substr(1024, more))));
        }
        return fd;
    }

    // The early head: ICAP 200 and the HTTP head as received.
    std::string early_head(size_t length) const {
        std::string res = res_hdr(length);
        return "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + std::to_string(res.size()) + "\r\n" + istag +
               res;
    }

    daemon_harness daemon;
    std::unique_ptr<standin_process> scanner;
};

// Bodies of long_body bytes paused after the preview and before_pause bytes: Squid
// has sent about 64 KiB when it first stalls, the daemon starts no reply
// before 32 KiB.
constexpr size_t long_body = 50000, before_pause = 40000;

std::string body_of(size_t size, const std::string& at_end = "") {
    std::string body(size, 'b');
    for (size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>('a' + i % 26);
    body.replace(size - at_end.size(), at_end.size(), at_end);
    return body;
}

TEST_F(early_reply_wire, head_on_a_pause_then_one_byte_per_pause_up_to_the_limit_then_the_rest) {
    start("TricklePause = 50\nTrickleLimit = 3\n");
    const std::string body = body_of(long_body);
    int fd = begin(body, before_pause);
    // Pauses of 50 ms (head), 50, 100 and 200 ms (bytes); then the limit.
    EXPECT_EQ(read_idle(fd, 1500), early_head(body.size()) + "1\r\na\r\n1\r\nb\r\n1\r\nc\r\n");
    ASSERT_TRUE(daemon_harness::send_all(fd, chunk(body.substr(1024 + before_pause)) + "0\r\n\r\n"));
    EXPECT_EQ(daemon_harness::read_until(fd, "\r\n0\r\n\r\n"), chunk(body.substr(3)) + "0\r\n\r\n");
    // The connection serves the next request.
    ASSERT_TRUE(daemon_harness::send_all(fd, "OPTIONS icap://127.0.0.1/x ICAP/1.0\r\n\r\n"));
    EXPECT_EQ(daemon_harness::read_until(fd, "\r\n\r\n").rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
    close(fd);
    EXPECT_NE(daemon.log().find("passed whole (50000 bytes); 3 released before the verdict"), std::string::npos);
}

TEST_F(early_reply_wire, without_a_preview_the_first_pause_starts_the_reply) {
    start("TricklePause = 50\nTrickleLimit = 1\n");
    const std::string body = body_of(long_body);
    int fd = begin(body, before_pause, true, false);
    EXPECT_EQ(read_idle(fd, 500), early_head(body.size()) + "1\r\na\r\n");
    ASSERT_TRUE(daemon_harness::send_all(fd, chunk(body.substr(1024 + before_pause)) + "0\r\n\r\n"));
    EXPECT_EQ(daemon_harness::read_until(fd, "\r\n0\r\n\r\n"), chunk(body.substr(1)) + "0\r\n\r\n");
    close(fd);
}

struct cut_case {
    const char* what;
    const char* settings;
    const char* logged;   // the reason in the cut-off line
};

class cut_reply : public early_reply_wire, public ::testing::WithParamInterface<cut_case> {};

TEST_P(cut_reply, after_the_released_bytes_without_the_last_chunk) {
    start(std::string("TricklePause = 50\nTrickleLimit = 2\nTimeout = 5\n") + GetParam().settings);
    const std::string body = body_of(long_body, eicar());
    int fd = begin(body, before_pause);
    EXPECT_EQ(read_idle(fd, 1000), early_head(body.size()) + "1\r\na\r\n1\r\nb\r\n");
    ASSERT_TRUE(daemon_harness::send_all(fd, chunk(body.substr(1024 + before_pause)) + "0\r\n\r\n"));
    EXPECT_TRUE(peer_closed(fd)) << "no more bytes, no zero chunk";
    close(fd);
    std::string log = daemon.log();
    EXPECT_NE(log.find(std::string("cut off (") + GetParam().logged + ") after 2 body bytes released"),
              std::string::npos) << log;
    EXPECT_NE(log.find("X-Virus-ID: EICAR-Test-File"), std::string::npos) << "logged, since not sent";
}

// A cured body is shorter than the Content-Length already sent.
INSTANTIATE_TEST_SUITE_P(cases, cut_reply,
                         ::testing::Values(cut_case{"report", "", "Report"},
                                           cut_case{"cured_to_another_length", "Infected = cure\nLocalScan = no\n",
                                                    "Cure"}),
                         [](const ::testing::TestParamInfo<cut_case>& info) { return info.param.what; });

TEST_F(early_reply_wire, passed_findings_travel_as_trailers_when_allowed) {
    start("TricklePause = 50\nTrickleLimit = 1\n");
    const std::string body = body_of(long_body, "JOKE!");
    for (bool trailers : {true, false}) {
        int fd = begin(body, before_pause, trailers);
        EXPECT_EQ(read_idle(fd, 500), early_head(body.size()) + "1\r\na\r\n");
        ASSERT_TRUE(daemon_harness::send_all(fd, chunk(body.substr(1024 + before_pause)) + "0\r\n\r\n"));
        std::string end = trailers ? "0\r\nX-Virus-ID: Joke.Test\r\nX-Infection-Found: Type=0; Resolution=0; "
                                     "Threat=Joke.Test;\r\n"
                                   : "0\r\n";
        std::string rest = daemon_harness::read_until(fd, "\r\n\r\n", 5000);
        EXPECT_EQ(rest.substr(0, rest.find("\r\n0\r\n") + 2), chunk(body.substr(1))) << trailers;
        EXPECT_EQ(rest.substr(rest.find("\r\n0\r\n") + 2, end.size()), end) << trailers << rest.substr(rest.size() - 300);
        close(fd);
    }
    EXPECT_NE(daemon.log().find("takes no trailers"), std::string::npos);
}

struct held_case {
    const char* what;
    const char* settings;
    size_t size;
    size_t more;   // bytes sent after the preview, before the pause
};

class held_reply : public early_reply_wire, public ::testing::WithParamInterface<held_case> {};

TEST_P(held_reply, nothing_is_sent_before_the_verdict) {
    start(GetParam().settings);
    const std::string body = body_of(GetParam().size);
    int fd = begin(body, GetParam().more);
    EXPECT_EQ(read_idle(fd, 400), "");
    std::string rest = body.substr(1024 + GetParam().more);
    ASSERT_TRUE(daemon_harness::send_all(fd, (rest.empty() ? "" : chunk(rest)) + "0\r\n\r\n"));
    EXPECT_EQ(daemon_harness::read_until(fd, "\r\n0\r\n\r\n"), early_head(body.size()) + chunk(body) + "0\r\n\r\n");
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(cases, held_reply,
                         ::testing::Values(held_case{"limit_0", "TrickleLimit = 0\n", long_body, before_pause},
                                           held_case{"pause_0", "TricklePause = 0\n", long_body, before_pause},
                                           held_case{"only_the_last_chunk_late", "", long_body, long_body - 1024},
                                           held_case{"below_32_KiB", "", 20000, 10000}),
                         [](const ::testing::TestParamInfo<held_case>& info) { return info.param.what; });

}  // namespace
