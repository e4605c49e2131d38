// Bodies that pass unscanned, through the real daemon: a white host needs
// no scan, so its body is streamed through (or dropped for a 204) while the
// same message for another host is spooled and scanned clean by the
// stand-in. Both must give the client the same bytes.

#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/daemon_harness.h"
#include "integration/scan_standin.h"

namespace {

// Same length, so that the offsets of a REQMOD echo do not differ.
const std::string white = "white.example";
const std::string other = "other.example";
const size_t block = 100000;   // MaxBlocksize

std::string chunked(const std::string& body, const std::vector<size_t>& sizes) {
    std::string out;
    for (size_t at = 0, i = 0; at < body.size(); ++i) {
        size_t n = std::min(sizes[i % sizes.size()], body.size() - at);
        char line[32];
        snprintf(line, sizeof line, "%zx\r\n", n);
        out += line + body.substr(at, n) + "\r\n";
        at += n;
    }
    return out;
}

// Bytes no two positions of which repeat within a block.
std::string body_of(size_t size) {
    std::string body(size, '\0');
    uint32_t x = 12345;
    for (char& c : body) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    return body;
}

struct message {
    std::string method = "RESPMOD";
    std::string host = white;
    std::string allow;               // Allow header value, empty for none
    std::string body;
    int64_t content_length = -2;     // -2: the body's size
};

// The ICAP head and HTTP heads of `m`; the chunks follow.
std::string heads(const message& m) {
    std::string length =
        "Content-Length: " + std::to_string(m.content_length == -2 ? static_cast<int64_t>(m.body.size())
                                                                   : m.content_length) + "\r\n";
    std::string head = m.method + " icap://127.0.0.1/x ICAP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!m.allow.empty())
        head += "Allow: " + m.allow + "\r\n";
    if (m.method == "REQMOD") {
        std::string req = "POST /upload HTTP/1.1\r\nHost: " + m.host + "\r\n" + length + "\r\n";
        return head + "Encapsulated: req-hdr=0, req-body=" + std::to_string(req.size()) + "\r\n\r\n" + req;
    }
    std::string req = "GET /file.bin HTTP/1.1\r\nHost: " + m.host + "\r\n\r\n";
    std::string res = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n" + length + "\r\n";
    return head + "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req.size()) +
           ", res-body=" + std::to_string(req.size() + res.size()) + "\r\n\r\n" + req + res;
}

// Everything until the daemon closes or is silent for idle_ms; a reader
// with a `pause_ms` takes 64 KiB at a time.
std::string read_to_close(int fd, int idle_ms = 10000, int pause_ms = 0) {
    std::string data;
    std::vector<char> buffer(pause_ms > 0 ? 1 << 16 : 1 << 20);
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, idle_ms) != 1)
            break;
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        data.append(buffer.data(), static_cast<size_t>(n));
        usleep(static_cast<useconds_t>(pause_ms) * 1000);
    }
    return data;
}

// How a client reads its reply: at once, as a proxy does; slower than it
// sends; or only after it has sent the whole request.
enum class reader { eager, slow, after_sending };

// Sends the request and half-closes, reading the reply as `how` says.
std::string talk(int fd, const std::string& request, reader how = reader::eager) {
    if (how == reader::after_sending) {
        daemon_harness::send_all(fd, request);
        shutdown(fd, SHUT_WR);
        return read_to_close(fd);
    }
    std::thread sender([&] {
        daemon_harness::send_all(fd, request);
        shutdown(fd, SHUT_WR);
    });
    std::string reply = read_to_close(fd, 10000, how == reader::slow ? 20 : 0);
    sender.join();
    return reply;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Sizes of the chunks of the body of a 200 reply.
std::vector<size_t> chunk_sizes(const std::string& reply) {
    std::vector<size_t> sizes;
    size_t at = reply.find("\r\n\r\n", reply.find("\r\n\r\n") + 4) + 4;
    while (at < reply.size()) {
        size_t end = reply.find("\r\n", at);
        if (end == std::string::npos)
            break;
        sizes.push_back(std::stoul(reply.substr(at, end - at), nullptr, 16));
        if (sizes.back() == 0)
            break;
        at = end + 2 + sizes.back() + 2;
    }
    return sizes;
}

std::vector<std::string> fields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class pass_through : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        scanner = std::make_unique<standin_process>(daemon.dir(), std::vector<std::string>{});
        ASSERT_TRUE(scanner->ready());
    }

    // A pause of the client must not start an early reply of the spooled
    // message: TrickleLimit 0.
    void start(const std::string& extra = "") {
        daemon_harness::write_file(daemon.path("white"), white + "\n");
        daemon.write_config("VorexAddress = " + scanner->local_address() + "\nWhiteHosts = " + daemon.path("white") +
                            "\nMaxBlocksize = " + std::to_string(block) + "b\nTrickleLimit = 0\nAccessLog = " +
                            daemon.path("access.log") + "\n" + extra);
        ASSERT_TRUE(daemon.start()) << daemon.log();
    }

    std::string send(const message& m, const std::vector<size_t>& sizes, reader how = reader::eager) {
        int fd = daemon.connect();
        EXPECT_GE(fd, 0);
        std::string reply = talk(fd, heads(m) + chunked(m.body, sizes) + "0\r\n\r\n", how);
        close(fd);
        return reply;
    }

    // The access log's status, bytes in and out, and decision of the last request.
    std::vector<std::string> last_access() {
        std::string log;
        EXPECT_TRUE(wait_until([&] {
            log = daemon_harness::read_file(daemon.path("access.log"));
            return count_of(log, "\n") > lines_seen;
        }));
        lines_seen = count_of(log, "\n");
        std::string line = log.substr(log.rfind('\n', log.size() - 2) + 1);
        std::vector<std::string> f = fields(line);
        return f.size() > 8 ? std::vector<std::string>{f[4], f[6], f[7], f[8]} : f;
    }

    void expect_clean_end() {
        EXPECT_TRUE(wait_until([&] { return daemon.cache_files() == 0; })) << daemon.cache_files() << " files left";
        EXPECT_EQ(daemon.exchange("OPTIONS icap://127.0.0.1/x ICAP/1.0\r\n\r\n").rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
    }

    daemon_harness daemon;
    std::unique_ptr<standin_process> scanner;
    size_t lines_seen = 0;
};

TEST_F(pass_through, unscanned_replies_are_the_spooled_ones) {
    start();
    struct row {
        const char* method;
        size_t size;
        std::vector<size_t> sizes;
        const char* allow;
        const char* how;   // what the daemon does with the white host's body
        reader client;
    } rows[] = {
        {"RESPMOD", 65537, {65536}, "", "is streamed\n", reader::eager},
        {"RESPMOD", block, {1000}, "", "is streamed\n", reader::eager},
        {"RESPMOD", 2 * block + 50001, {70001, 3}, "trailers", "is streamed\n", reader::eager},
        {"RESPMOD", 3 * block, {3 * block}, "", "is streamed\n", reader::eager},
        {"REQMOD", 200000, {4096}, "", "is streamed\n", reader::eager},
        // A client slower than it sends slows its body down.
        {"RESPMOD", 3 << 20, {65536}, "", "is streamed\n", reader::slow},
        {"RESPMOD", 1 << 20, {65536}, "204", "dropped for the 204\n", reader::eager},
        {"REQMOD", 300000, {7}, "204, trailers", "dropped for the 204\n", reader::eager},
        // Held in memory as usual.
        {"RESPMOD", 65536, {1000}, "", nullptr, reader::eager},
        {"RESPMOD", 1000, {1000}, "204", "dropped for the 204\n", reader::eager},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.method) + " " + std::to_string(r.size) + " " + r.allow);
        message m;
        m.method = r.method;
        m.allow = r.allow;
        m.body = body_of(r.size);
        std::string before = daemon.log();
        std::string passed = send(m, r.sizes, r.client);
        std::vector<std::string> passed_access = last_access();
        std::string log = daemon.log().substr(before.size());
        if (r.how)
            EXPECT_EQ(count_of(log, r.how), 1u);
        else
            EXPECT_EQ(count_of(log, "pass-through:"), 0u);
        m.host = other;
        std::string scanned = send(m, r.sizes, r.client);
        std::vector<std::string> scanned_access = last_access();
        // The REQMOD echo carries the request header with the host.
        for (size_t at = passed.find(white); at != std::string::npos; at = passed.find(white, at + 1))
            passed.replace(at, white.size(), other);
        if (std::string(r.allow).find("204") != std::string::npos)
            EXPECT_EQ(scanned.rfind("ICAP/1.0 204 No Content\r\n", 0), 0u) << scanned.substr(0, 200);
        else
            EXPECT_EQ(chunk_sizes(scanned).back(), 0u) << scanned.substr(0, 200);
        EXPECT_EQ(passed.size(), scanned.size());
        EXPECT_TRUE(passed == scanned) << passed.substr(0, 400) << "\n---\n" << scanned.substr(0, 400);
        EXPECT_EQ(passed_access, scanned_access);
    }
    expect_clean_end();
}

// More than the socket buffers hold, sent whole before the reply is read:
// what the client leaves waits in the Cache folder, and the worker goes on
// reading instead of waiting for a client that waits for it.
TEST_F(pass_through, a_client_that_reads_after_sending_gets_the_whole_reply) {
    start();
    message m;
    m.allow = "trailers";
    m.body = body_of(24 << 20);
    std::string passed = send(m, {1 << 20}, reader::after_sending);
    EXPECT_NE(daemon.log().find("bytes of the reply to white.example/file.bin waited in the Cache folder"),
              std::string::npos);
    m.host = other;
    std::string scanned = send(m, {1 << 20}, reader::after_sending);
    EXPECT_EQ(passed.size(), scanned.size());
    EXPECT_TRUE(passed == scanned);
    expect_clean_end();
}

TEST_F(pass_through, streamed_body_comes_in_max_blocksize_chunks) {
    start();
    message m;
    m.body = body_of(2 * block + 50001);
    std::string reply = send(m, {65536});
    EXPECT_EQ(chunk_sizes(reply), (std::vector<size_t>{block, block, 50001, 0}));
    EXPECT_TRUE(ends_with(reply, "\r\n0\r\n\r\n"));
    EXPECT_EQ(last_access(), (std::vector<std::string>{"200", std::to_string(m.body.size()),
                                                       std::to_string(m.body.size()), "pass"}));
}

// A reply that cannot be the whole message ends without its zero chunk, so
// that the proxy never takes what it got for a whole body; the worker goes
// on with other connections and leaves no file behind.
TEST_F(pass_through, a_body_that_breaks_off_is_cut) {
    start("Timeout = 5\n");
    const std::string body = body_of(3 * block);
    struct row {
        const char* what;
        std::string rest;       // what the client sends after the heads
        bool whole;             // the reply is complete all the same
    } rows[] = {
        {"client leaves mid-body", chunked(body.substr(0, 150000), {65536}), false},
        {"malformed chunk size", chunked(body.substr(0, 150000), {65536}) + "zz\r\n", false},
        {"shorter than Content-Length", chunked(body.substr(0, 150000), {65536}) + "0\r\n\r\n", false},
        {"longer than Content-Length", chunked(body + "xyz", {65536}) + "0\r\n\r\n", false},
        // Ends where a chunk ends: the reply is what a spooled body gives.
        {"short on a chunk boundary", chunked(body.substr(0, block), {65536}) + "0\r\n\r\n", true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        message m;
        m.body = body;
        int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        std::string reply = talk(fd, heads(m) + r.rest);
        close(fd);
        EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << reply.substr(0, 200);
        EXPECT_EQ(ends_with(reply, "\r\n0\r\n\r\n"), r.whole) << reply.size();
        if (r.whole) {
            EXPECT_EQ(chunk_sizes(reply), (std::vector<size_t>{block, 0}));
        }
    }
    expect_clean_end();
}

// The body's deadline (Timeout plus a second per MinBodyRate bytes) cuts a
// body that trickles in, also while its reply is streamed.
TEST_F(pass_through, a_trickling_body_is_cut_by_the_deadline) {
    start("Timeout = 2\nMinBodyRate = 100000\n");
    message m;
    m.body = body_of(1 << 20);
    int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(daemon_harness::send_all(fd, heads(m) + chunked(m.body.substr(0, 70000), {70000})));
    std::string reply;
    std::thread reader([&] { reply = read_to_close(fd, 20000); });
    auto began = std::chrono::steady_clock::now();
    for (size_t at = 70000; at < m.body.size(); at += 1000) {
        if (!daemon_harness::send_all(fd, chunked(m.body.substr(at, 1000), {1000})))
            break;
        usleep(50000);
        if (std::chrono::steady_clock::now() - began > std::chrono::seconds(15))
            break;
    }
    reader.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    close(fd);
    // 70 KB + 20 KB/s against 2 s + 1 s per 100 KB: cut after about 3 s.
    EXPECT_LT(seconds, 8.0);
    EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << reply.substr(0, 200);
    EXPECT_FALSE(ends_with(reply, "\r\n0\r\n\r\n"));
    expect_clean_end();
}

}  // namespace
