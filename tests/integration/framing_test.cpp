// Framings a client can send, through the real daemon: one verdict or a
// 400 and a close per request, the URL from the request line for every
// method, no spool file left on any exit, and a deadline per request.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "integration/daemon_harness.h"
#include "integration/scan_standin.h"
#include "settings/run_process.h"

namespace {

std::string chunk(const std::string& data) {
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

std::string options() { return "OPTIONS icap://127.0.0.1/x ICAP/1.0\r\n\r\n"; }

// The daemon has closed the connection (what it sent before is dropped).
bool peer_closed(int fd) {
    pollfd p = {fd, POLLIN, 0};
    char byte;
    while (poll(&p, 1, 0) == 1) {
        ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
        if (n <= 0)
            return true;
    }
    return false;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class framing : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }
    void start(const std::string& extra = "") {
        daemon_harness::write_file(daemon.path("black"), "bad.example\n");
        daemon.write_config("BlackHosts = " + daemon.path("black") + "\n" + extra);
        ASSERT_TRUE(daemon.start()) << daemon.log();
    }
    int cache_files() const { return daemon.cache_files(); }
    // The worker that holds a body file: its pid is in the file's name.
    pid_t spooling_worker() const {
        pid_t pid = -1;
        if (DIR* dir = opendir(daemon.path("cache").c_str())) {
            while (dirent* e = readdir(dir))
                if (strncmp(e->d_name, "res-body", 8) == 0)
                    pid = atoi(e->d_name + 8);
            closedir(dir);
        }
        return pid;
    }
    void expect_cache_empty(const char* what) {
        EXPECT_TRUE(wait_until([&] { return cache_files() == 0; })) << what << ": " << cache_files() << " files left";
    }
    daemon_harness daemon;
};

TEST_F(framing, malformed_framing_gets_400_and_a_close) {
    start();
    const std::string res = "HTTP/1.1 200 OK\r\n\r\n";   // 19 bytes
    const std::string req = "GET /x HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
    const std::string n = std::to_string(req.size());
    const std::string respmod = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nAllow: 204\r\n";
    const std::string reqmod = "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\n";
    std::string padding = "X-Padding: ";
    padding += std::string(4095 - padding.size(), 'a');
    struct row {
        const char* what;
        std::string bytes;
        bool refused;   // else answered, and the pipelined OPTIONS too
    };
    const row rows[] = {
        {"Squid's RESPMOD", respmod + "Encapsulated: req-hdr=0, res-hdr=" + n + ", res-body=" +
                                std::to_string(req.size() + res.size()) + "\r\n\r\n" + req + res + chunk("hi") +
                                "0\r\n\r\n",
         false},
        {"infected body, then a clean one", respmod + "Encapsulated: res-hdr=0, res-body=19, res-body=19\r\n\r\n" +
                                                res + chunk(eicar()) + "0\r\n\r\n" + chunk("x") + "0\r\n\r\n",
         true},
        {"req-body before a response", respmod + "Encapsulated: req-hdr=0, req-body=" + n + ", res-hdr=" + n +
                                           ", res-body=" + std::to_string(req.size() + res.size()) + "\r\n\r\n" +
                                           req + chunk(eicar()) + "0\r\n\r\n" + res + chunk("x") + "0\r\n\r\n",
         true},
        {"response in a REQMOD", reqmod + "Encapsulated: res-hdr=0, res-body=19\r\n\r\n" + res + chunk("x") +
                                     "0\r\n\r\n",
         true},
        {"two null-bodies", reqmod + "Encapsulated: req-hdr=0, null-body=" + n + ", null-body=" + n + "\r\n\r\n" + req,
         true},
        {"no CRLF after chunk data", reqmod + "Encapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" + req +
                                         "5\r\nhelloabc\r\n0\r\n\r\n",
         true},
        {"chunk size without digits", reqmod + "Encapsulated: req-hdr=0, req-body=" + n + "\r\n\r\n" + req +
                                          "zz\r\n5\r\nhello\r\n0\r\n\r\n",
         true},
        {"header block shorter than its offset", reqmod + "Encapsulated: req-hdr=0, null-body=" +
                                                     std::to_string(req.size() - 2) + "\r\n\r\n" + req,
         true},
        // The offset swallows the pipelined OPTIONS into the echoed header.
        {"header block longer than its offset", reqmod + "Encapsulated: req-hdr=0, null-body=" +
                                                    std::to_string(req.size() + options().size()) + "\r\n\r\n" + req,
         true},
        {"Encapsulated past a long header line", reqmod + padding + "Encapsulated: req-hdr=0, null-body=" + n +
                                                     "\r\n\r\n" + req,
         true},
    };
    for (const row& r : rows) {
        std::string reply = daemon.exchange(r.bytes + options(), 15000);
        if (r.refused) {
            EXPECT_EQ(reply.rfind("ICAP/1.0 400 Bad Request\r\n", 0), 0u) << r.what << ": " << reply;
            EXPECT_EQ(count_of(reply, "ICAP/1.0 "), 1u) << r.what << ": the connection goes on: " << reply;
        } else {
            EXPECT_EQ(reply.rfind("ICAP/1.0 204 No Content\r\n", 0), 0u) << r.what << ": " << reply;
            EXPECT_NE(reply.find("Methods: "), std::string::npos) << r.what << ": " << reply;
        }
        expect_cache_empty(r.what);
    }
}

TEST_F(framing, url_comes_from_the_request_line_for_every_method) {
    const std::string sg = daemon.path("sg");
    for (const std::string& dir : {sg, sg + "/adult"})
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << dir;
    daemon_harness::write_file(sg + "/adult/urls", "cat.example/dir/\n");
    const process_result built =
        run_process({VRX_BINARY_DIR "/tools/uwl_build", "-k", VRX_UWL_PRIVATE_KEY, "-d", daemon.path("uwl"),
                     "--squidguard", sg + "/adult=porno"},
                    daemon.dir());
    ASSERT_EQ(built.status, 0) << built.err;
    start();
    struct row {
        const char* request_line;
        const char* host;   // nullptr: no Host header
        bool blocked;
    };
    const row rows[] = {
        {"HEAD http://bad.example/ HTTP/1.1", "good.example", true},
        {"HEAD / HTTP/1.1", "bad.example", true},
        {"HEAD / HTTP/1.1", "good.example", false},
        {"PUT http://bad.example/upload HTTP/1.1", "good.example", true},
        {"PUT http://bad.example/upload HTTP/1.1", nullptr, true},
        {"PUT /upload HTTP/1.1", nullptr, true},   // no URL at all: the black list's unknown case
        {"DELETE http://bad.example/x HTTP/1.1", "good.example", true},
        {"DELETE /x HTTP/1.1", "good.example", false},
        {"OPTIONS http://bad.example/ HTTP/1.1", "good.example", true},
        {"PATCH http://bad.example/p HTTP/1.1", "bad.example", true},
        {"CONNECT bad.example:443 HTTP/1.1", "good.example", true},
        {"CONNECT good.example:443 HTTP/1.1", "bad.example", false},
        {"GET https://bad.example/ HTTP/1.1", "good.example", true},
        {"HEAD http://cat.example/dir/page HTTP/1.1", "good.example", true},
        {"PUT http://cat.example/dir/up HTTP/1.1", nullptr, true},
        {"DELETE /dir/x HTTP/1.1", "cat.example", true},
        {"PATCH http://good.example/dir/x HTTP/1.1", "cat.example", false},
        {"OPTIONS https://cat.example/dir/ HTTP/1.1", "good.example", true},
        {"GET https://cat.example/other HTTP/1.1", "cat.example", false},
    };
    for (const row& r : rows) {
        std::string get = std::string(r.request_line) + "\r\n" + (r.host ? "Host: " + std::string(r.host) + "\r\n" : "") +
                          "\r\n";
        std::string reply = daemon.exchange("REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\n"
                                            "Encapsulated: req-hdr=0, null-body=" +
                                            std::to_string(get.size()) + "\r\n\r\n" + get);
        EXPECT_EQ(reply.find("Access blocked") != std::string::npos, r.blocked)
            << r.request_line << " Host " << (r.host ? r.host : "-") << ": " << reply.substr(0, 200);
    }
}

// A connection sending the head and a body of more than 64 KiB (so it has
// its file), then stalling; returns the descriptor.
int stalled_body(const daemon_harness& daemon) {
    int fd = daemon.connect();
    const std::string res = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    std::string head = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nEncapsulated: res-hdr=0, res-body=" +
                       std::to_string(res.size()) + "\r\n\r\n" + res;
    daemon_harness::send_all(fd, head + chunk(std::string(0x10001, 'b')) + "10000\r\nonly part");
    return fd;
}

TEST_F(framing, spool_files_go_on_every_exit) {
    // A scanner makes every body go to its file.
    standin_process scanner(daemon.dir(), {});
    ASSERT_TRUE(scanner.ready());
    start("VorexAddress = " + scanner.local_address() + "\nTimeout = 2\nMinBodyRate = 0\nTrickleLimit = 0\n");
    {
        // The Timeout alarm.
        int fd = stalled_body(daemon);
        EXPECT_TRUE(wait_until([&] { return cache_files() > 0; })) << daemon.log();
        EXPECT_EQ(daemon_harness::read_until(fd, "", 10000), "");
        close(fd);
        expect_cache_empty("Timeout alarm");
    }
    {
        // SIGTERM twice: the worker ends in the middle of the body.
        int fd = stalled_body(daemon);
        EXPECT_TRUE(wait_until([&] { return spooling_worker() > 0; })) << daemon.log();
        pid_t worker = spooling_worker();
        ASSERT_GT(worker, 0);
        for (int i = 0; i < 2; ++i) {
            kill(worker, SIGTERM);
            usleep(100000);
        }
        close(fd);
        expect_cache_empty("SIGTERM");
    }
    ASSERT_TRUE(wait_until([&] { return daemon.running() && daemon.exchange(options()).rfind("ICAP/1.0 200", 0) == 0; },
                           10000));
    {
        // The client leaves in the middle of the body.
        int fd = stalled_body(daemon);
        EXPECT_TRUE(wait_until([&] { return cache_files() > 0; })) << daemon.log();
        close(fd);
        expect_cache_empty("client left");
    }
}

TEST_F(framing, body_trickle_is_cut_by_the_request_deadline) {
    const std::string req = "POST /up HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
    const std::string head = "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=" +
                             std::to_string(req.size()) + "\r\n\r\n" + req;
    // One byte every 2 s: each wait is shorter than Timeout = 3.
    auto trickle = [&](int chunks) {
        int fd = daemon.connect();
        auto started = std::chrono::steady_clock::now();
        daemon_harness::send_all(fd, head);
        bool cut = false;
        for (int i = 0; i < chunks && !cut; ++i) {
            sleep(2);
            cut = peer_closed(fd) || !daemon_harness::send_all(fd, chunk("A"));
        }
        std::string reply;
        if (!cut) {
            daemon_harness::send_all(fd, "0\r\n\r\n");
            reply = daemon_harness::read_until(fd, "0\r\n\r\n", 5000);
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        close(fd);
        return std::make_pair(reply, seconds);
    };
    start("Timeout = 3\nMinBodyRate = 0\n");
    auto off = trickle(5);
    EXPECT_EQ(off.first.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << "MinBodyRate = 0 keeps the stall limit only";
    daemon.stop();
    start("Timeout = 3\n");
    auto on = trickle(8);
    EXPECT_EQ(on.first, "");
    EXPECT_LT(on.second, 3 + 5.0) << "cut within Timeout and a few seconds";
    EXPECT_NE(daemon.log().find("timeout error in ipc"), std::string::npos) << daemon.log();
}

}  // namespace
