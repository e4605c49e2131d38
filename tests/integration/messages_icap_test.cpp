// REQMOD and RESPMOD through the real daemon over loopback: hand-made
// requests, c-icap-client as a real peer, and bad input that must end in a
// reply or a clean close without leaving temporary files.

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "integration/daemon_harness.h"
#include "integration/scan_standin.h"

namespace {

const std::string req_hdr = "GET /dir/file.bin HTTP/1.1\r\nHost: www.example.org\r\n\r\n";

std::string res_hdr(const std::string& type, size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

std::string chunk(const std::string& data) {
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

// A RESPMOD head with its HTTP headers; the chunks follow.
std::string respmod_head(const std::string& res, int preview, bool allow_204, const std::string& req = req_hdr) {
    std::string head = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n";
    if (preview >= 0)
        head += "Preview: " + std::to_string(preview) + "\r\n";
    if (allow_204)
        head += "Allow: 204\r\n";
    head += "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req.size()) +
            ", res-body=" + std::to_string(req.size() + res.size()) + "\r\n\r\n";
    return head + req + res;
}

// Reads until the data ends with `end`, the peer closes, or nothing
// arrives for `idle_ms`.
std::string read_reply(int fd, const std::string& end, int idle_ms = 10000) {
    std::string data;
    std::vector<char> buffer(1 << 20);
    while (data.size() < end.size() || data.compare(data.size() - end.size(), end.size(), end) != 0) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, idle_ms) != 1)
            break;
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        data.append(buffer.data(), static_cast<size_t>(n));
    }
    return data;
}

std::string options() { return "OPTIONS icap://127.0.0.1/x ICAP/1.0\r\n\r\n"; }

class messages_icap : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }

    void start(const std::string& extra = "") {
        daemon_harness::write_file(daemon.path("black"), "bad.example\n");
        daemon.write_config("BlackHosts = " + daemon.path("black") + "\n" + extra);
        ASSERT_TRUE(daemon.start()) << daemon.log();
    }
    std::string cache() const { return daemon.path("cache"); }
    int cache_files() const { return daemon.cache_files(); }
    // The cache folder of the harness configuration.
    void expect_cache_empty() {
        EXPECT_TRUE(wait_until([&] { return cache_files() == 0; })) << cache_files() << " files left";
    }
    // The daemon still answers OPTIONS on a new connection.
    void expect_serving() {
        EXPECT_EQ(daemon.exchange(options()).rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << daemon.log();
    }

    daemon_harness daemon;
};

TEST_F(messages_icap, respmod_without_preview) {
    start();
    std::string body = "hello world";
    std::string res = res_hdr("text/plain", body.size());
    std::string request = respmod_head(res, -1, false) + chunk(body) + "0\r\n\r\n";
    std::string reply = daemon.exchange(request);
    std::string expected_start = "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + std::to_string(res.size()) +
                                 "\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n" + res + "b\r\nhello world\r\n0\r\n\r\n";
    EXPECT_EQ(reply, expected_start);
    // The body is held in memory while it is read: no file descriptor yet.
    EXPECT_NE(daemon.log().find("icap_dump_entities: getting body (-1)\n"), std::string::npos);
    EXPECT_EQ(daemon.exchange(respmod_head(res, -1, true) + chunk(body) + "0\r\n\r\n"),
              "ICAP/1.0 204 No Content\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n");
    expect_cache_empty();
}

TEST_F(messages_icap, preview_zero_ieof_black_host_is_blocked) {
    start();
    std::string req = "GET /x HTTP/1.1\r\nHost: bad.example\r\n\r\n";
    std::string res = res_hdr("text/html", 0);
    std::string reply = daemon.exchange(respmod_head(res, 0, true, req) + "0; ieof\r\n\r\n");
    EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=", 0), 0u) << reply;
    EXPECT_EQ(reply.find("100 Continue"), std::string::npos);
    EXPECT_NE(reply.find("\r\nX-Response-Info: Report\r\n"), std::string::npos);
    EXPECT_NE(reply.find("Access blocked"), std::string::npos);
    expect_cache_empty();
}

TEST_F(messages_icap, preview_pass_and_mime_reject) {
    start("MimeStart\ntext pass all\nimage reject -report all\nMimeEnd\n");
    std::string body(3000, 'b');
    // Passed in the preview: 204 at once, the rest is never asked for.
    int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(daemon_harness::send_all(fd, respmod_head(res_hdr("text/plain", 3000), 1024, false) +
                                                 chunk(body.substr(0, 1024)) + "0\r\n\r\n"));
    EXPECT_EQ(daemon_harness::read_until(fd, "\r\n\r\n"), "ICAP/1.0 204 No Content\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n");
    // The same connection serves a rejected image next.
    ASSERT_TRUE(daemon_harness::send_all(fd, respmod_head(res_hdr("image/png", 3000), 1024, true) +
                                                 chunk(body.substr(0, 1024)) + "0\r\n\r\n"));
    std::string reply = daemon_harness::read_until(fd, "\r\n0\r\n\r\n");
    EXPECT_NE(reply.find("X-Response-Desc: url was blocked by administrator"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Access blocked"), std::string::npos) << reply;
    close(fd);
    expect_cache_empty();
}

TEST_F(messages_icap, reqmod_with_and_without_body) {
    start();
    std::string get = "GET /x HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
    std::string reply = daemon.exchange("REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, null-body=" +
                                        std::to_string(get.size()) + "\r\n\r\n" + get);
    EXPECT_EQ(reply, "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + std::to_string(get.size()) +
                         "\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n" + get);
    std::string post = "POST /up HTTP/1.1\r\nHost: www.example.org\r\nContent-Length: 5\r\n\r\n";
    reply = daemon.exchange("REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=" +
                            std::to_string(post.size()) + "\r\n\r\n" + post + chunk("hello") + "0\r\n\r\n");
    EXPECT_EQ(reply, "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, req-body=" + std::to_string(post.size()) +
                         "\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n" + post + "5\r\nhello\r\n0\r\n\r\n");
    // A black-listed host is answered with the report, even with Allow: 204.
    std::string bad = "GET /x HTTP/1.1\r\nHost: bad.example\r\n\r\n";
    reply = daemon.exchange("REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\nEncapsulated: req-hdr=0, null-body=" +
                            std::to_string(bad.size()) + "\r\n\r\n" + bad);
    EXPECT_NE(reply.find("Encapsulated: res-hdr=0, res-body="), std::string::npos) << reply;
    EXPECT_NE(reply.find("Access blocked"), std::string::npos);
}

// Peak resident memory of a process, in KiB.
long peak_rss_kib(pid_t pid) { return daemon_harness::status_kib(pid, "VmHWM"); }

TEST_F(messages_icap, large_body_in_max_blocksize_chunks_with_bounded_memory) {
    // The daemon's only worker serves the connection and stays after it; a
    // pause of this client between its 10 MB writes must not start the
    // reply early.
    start("MaxWorkers = 1\nSpareWorkers = 1\nTrickleLimit = 0\n");
    const size_t size = 25 * 1024 * 1024, block = 10 * 1024 * 1024;
    std::string res = res_hdr("application/octet-stream", size);
    int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(daemon_harness::send_all(fd, respmod_head(res, -1, false)));
    std::string piece(block, 'z');
    for (size_t left = size; left > 0; left -= std::min(left, block))
        ASSERT_TRUE(daemon_harness::send_all(fd, chunk(piece.substr(0, std::min(left, block)))));
    ASSERT_TRUE(daemon_harness::send_all(fd, "0\r\n\r\n"));
    std::string reply = read_reply(fd, "\r\n0\r\n\r\n");
    size_t body = reply.find("\r\n\r\n", reply.find("\r\n\r\n") + 4) + 4;
    ASSERT_GT(body, 4u) << reply.substr(0, 300);
    std::vector<size_t> sizes;
    for (size_t at = body; at < reply.size();) {
        size_t end = reply.find("\r\n", at);
        sizes.push_back(std::stoul(reply.substr(at, end - at), nullptr, 16));
        if (sizes.back() == 0)
            break;
        at = end + 2 + sizes.back() + 2;
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{block, block, size - 2 * block, 0}));
    // The worker holds one chunk at a time, never the body.
    std::vector<pid_t> workers = daemon.children();
    ASSERT_EQ(workers.size(), 1u);
    long limit = peak_rss_kib(daemon.pid()) + static_cast<long>(block / 1024) + 8 * 1024;
    EXPECT_LT(peak_rss_kib(workers[0]), limit) << "parent " << peak_rss_kib(daemon.pid());
    close(fd);
    expect_cache_empty();
}

// A client that stops reading large 200 echoes: once a write of a reply
// has failed, nothing more goes out on the connection (no error reply or
// next reply after the start of an echo): what the client gets is a prefix
// of the echoes, then the close, and the worker ends. Together the echoes
// are larger than the socket buffers can hold.
TEST_F(messages_icap, no_byte_after_a_failed_reply_write) {
    // A worker lives as long as its connection; a pause of the sender must
    // not start the body's reply early.
    start("Timeout = 1\nSpareWorkers = 0\nTrickleLimit = 0\n");
    const std::string istag = "\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n";
    std::string get = "GET /x HTTP/1.1\r\nHost: www.example.org\r\nX-Pad: " + std::string(200000, 'p') + "\r\n\r\n";
    std::string get_request = "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, null-body=" +
                              std::to_string(get.size()) + "\r\n\r\n" + get;
    std::string get_echo =
        "ICAP/1.0 200 OK\r\nEncapsulated: req-hdr=0, null-body=" + std::to_string(get.size()) + istag + get;
    std::string body(8 << 20, 'b');
    std::string res = res_hdr("application/octet-stream", body.size());
    struct {
        const char* what;
        std::string request, echo;
    } cases[] = {
        {"header echoes", "", ""},
        {"body echo", respmod_head(res, -1, false) + chunk(body) + "0\r\n\r\n",
         "ICAP/1.0 200 OK\r\nEncapsulated: res-hdr=0, res-body=" + std::to_string(res.size()) + istag + res +
             chunk(body) + "0\r\n\r\n"},
    };
    for (int i = 0; i < 40; ++i) {
        cases[0].request += get_request;
        cases[0].echo += get_echo;
    }
    auto timeouts = [&] {
        std::string log = daemon.log();
        size_t count = 0;
        for (size_t at = log.find("write: timeout error"); at != std::string::npos; at = log.find("write: timeout error", at + 1))
            ++count;
        return count;
    };
    for (const auto& c : cases) {
        size_t before = timeouts();
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(daemon.port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        std::thread sender([&] { daemon_harness::send_all(fd, c.request); });
        EXPECT_TRUE(wait_until([&] { return timeouts() > before; }, 20000)) << c.what;
        std::string reply = daemon_harness::read_until(fd, "", 5000);  // to the close
        shutdown(fd, SHUT_RDWR);
        sender.join();
        close(fd);
        EXPECT_FALSE(reply.empty()) << c.what;
        EXPECT_LT(reply.size(), c.echo.size()) << c.what;
        EXPECT_EQ(c.echo.compare(0, reply.size(), reply), 0) << c.what;
        EXPECT_TRUE(wait_until([&] { return daemon.children().empty(); })) << c.what;
    }
    expect_serving();
    expect_cache_empty();
}

TEST_F(messages_icap, bad_input_ends_in_a_reply_or_a_clean_close) {
    start("Timeout = 3\n");
    std::string req = "GET /x HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
    std::string n = std::to_string(req.size());
    const std::string head = "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\n";
    struct row {
        const char* what;
        std::string bytes;
    };
    const row rows[] = {
        {"offsets out of order", head + "Encapsulated: req-hdr=" + n + ", req-body=0\r\n\r\n" + req + "0\r\n\r\n"},
        {"offset past the data", head + "Encapsulated: req-hdr=0, null-body=99999\r\n\r\n" + req},
        {"header with nothing after it", head + "Encapsulated: req-hdr=0\r\n\r\n" + req},
        {"huge chunk size", head + "Encapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" + req + "fffffffffffffff\r\nabc"},
        {"chunk size over 64 bits", head + "Encapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" + req +
                                        "123456789abcdef01\r\nabc\r\n0\r\n\r\n"},
        {"garbage chunk sizes", head + "Encapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" + req + "zz\r\n-5\r\n\r\n"},
        {"ieof on a data chunk", head + "Preview: 3\r\nEncapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" + req +
                                     "3; ieof\r\nabc\r\n0\r\n\r\n"},
        {"ieof before any chunk", head + "Encapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" + req + "; ieof\r\n\r\n"},
        {"preview larger than the body", head + "Preview: 4096\r\nEncapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" +
                                             req + "3\r\nabc\r\n0; ieof\r\n\r\n"},
        {"client closes mid-body", head + "Encapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" + req + "100\r\nabc"},
    };
    for (const row& r : rows) {
        std::string reply = daemon.exchange(r.bytes, 15000);
        EXPECT_TRUE(reply.empty() || reply.rfind("ICAP/1.0 ", 0) == 0) << r.what << ": " << reply;
        expect_serving();
        expect_cache_empty();
    }
}

TEST_F(messages_icap, missing_template_fails_closed) {
    start("Templates = " + std::string("/nonexistent") + "\n");
    std::string req = "GET /x HTTP/1.1\r\nHost: bad.example\r\n\r\n";
    std::string reply = daemon.exchange(respmod_head(res_hdr("text/html", 5), -1, true, req) + chunk("hello") +
                                        "0\r\n\r\n");
    EXPECT_EQ(reply.find("hello"), std::string::npos) << "a blocked body never passes: " << reply;
    EXPECT_EQ(reply.find("204"), std::string::npos) << reply;
    expect_serving();
    expect_cache_empty();
}

TEST_F(messages_icap, infected_upload_is_answered_with_a_response) {
    // A REQMOD body replaced by a report page goes back as an HTTP response:
    // the reply lists res-hdr and res-body, never a request header.
    standin_process scanner(daemon.dir(), {});
    ASSERT_TRUE(scanner.ready());
    start("VorexAddress = " + scanner.local_address() + "\nInfected = report\n");
    std::string post = "POST /up HTTP/1.1\r\nHost: www.example.org\r\nContent-Length: 68\r\n\r\n";
    std::string reply = daemon.exchange("REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=" +
                                        std::to_string(post.size()) + "\r\n\r\n" + post + chunk(eicar()) + "0\r\n\r\n");
    size_t head_end = reply.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos) << reply;
    std::string page_head = reply.substr(head_end + 4, 17);
    EXPECT_NE(reply.find("\r\nEncapsulated: res-hdr=0, res-body="), std::string::npos) << reply;
    EXPECT_EQ(page_head, "HTTP/1.1 200 OK\r\n") << reply;
    EXPECT_NE(reply.find("<title>Access denied</title>"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("POST /up"), std::string::npos) << reply;
    expect_cache_empty();
}

// Output of c-icap-client; it exits 0 even on errors.
std::string c_icap_client(const std::string& arguments) {
    std::string command = "timeout 30 c-icap-client " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    size_t n;
    while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    if (pipe)
        pclose(pipe);
    return text;
}

TEST_F(messages_icap, c_icap_client_as_a_real_peer) {
    if (system("command -v c-icap-client >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "c-icap-client is not installed";
    start();
    std::string server = "-i 127.0.0.1 -p " + std::to_string(daemon.port()) + " -s srv -v ";
    std::string body_file = daemon.path("body.txt");
    std::string body(5000, 'q');
    daemon_harness::write_file(body_file, body);

    std::string out = c_icap_client(server + "-req http://www.example.org/page");
    EXPECT_NE(out.find("ICAP/1.0 200 OK"), std::string::npos) << out;
    EXPECT_NE(out.find("GET http://www.example.org/page"), std::string::npos) << out;
    out = c_icap_client(server + "-req http://bad.example/page");
    EXPECT_NE(out.find("X-Response-Desc: url was blocked by administrator"), std::string::npos) << out;

    for (const char* mode : {"", "-nopreview", "-no204", "-nopreview -no204"}) {
        std::string result = daemon.path("out.txt");
        unlink(result.c_str());
        out = c_icap_client(server + "-f " + body_file + " -o " + result + " " + mode);
        bool full = std::string(mode) == "-nopreview -no204";
        EXPECT_NE(out.find(full ? "ICAP/1.0 200 OK" : "ICAP/1.0 204 No Content"), std::string::npos) << mode << out;
        if (full) {
            EXPECT_EQ(daemon_harness::read_file(result), body);
        }
    }
    expect_cache_empty();
}

}  // namespace
