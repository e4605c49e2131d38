// The real daemon over loopback TCP: replies byte for byte, bad clients,
// signals, daemonising, the client list and a real ICAP peer.

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <thread>

#include "integration/daemon_harness.h"

namespace {

const std::string options_request = "OPTIONS icap://127.0.0.1/vorex ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
const std::string istag = "\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n";
const std::string options_start =
    "ICAP/1.0 200 OK\r\nMethods: RESPMOD, OPTIONS, REQMOD\r\nX-Include: X-Client-IP\r\n"
    "X-Allow-Out: X-Infection-Found, X-Virus-ID, X-Violations-Found\r\n"
    "Service: Vorex (R) icapd 6.0\r\n";
const std::string options_reply = options_start +
    "Allow: 204\r\nPreview: 0\r\nTransfer-Preview: *\r\nOptions-TTL: 3600\r\nEncapsulated: null-body=0" + istag;
const std::string bad_request = "ICAP/1.0 400 Bad Request\r\nEncapsulated: null-body=0" + istag;
const std::string error_ok = "ICAP/1.0 200 OK\r\nEncapsulated: null-body=0" + istag;

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A daemon started under -m for each test. No spare workers: a worker is
// forked for each connection and ends with it, so that every test sees the
// workers of its own connections only.
class daemon_test : public ::testing::Test {
protected:
    void write_config(const std::string& extra = "") { d.write_config("[Daemon]\nSpareWorkers = 0\n" + extra); }
    void start(const std::string& extra = "") {
        write_config(extra);
        ASSERT_TRUE(d.start()) << d.read_file(d.path("stderr")) << d.log();
    }
    bool no_workers_left() {
        return wait_until([&] { return d.children().empty(); });
    }
    daemon_harness d;
};

TEST_F(daemon_test, requests_and_replies) {
    start();
    struct {
        const char* name;
        std::string request, reply;
    } cases[] = {
        {"options", options_request, options_reply},
        {"pipelined", options_request + options_request, options_reply + options_reply},
        {"connection close ends the connection", "OPTIONS icap://h/s ICAP/1.0\r\nConnection: close\r\n\r\n" + options_request,
         options_reply},
        {"malformed line", "HELLO\r\n\r\n" + options_request, bad_request},
        {"lower-case method", "options icap://h/s ICAP/1.0\r\n\r\n", bad_request},
        {"lower-case version", "OPTIONS icap://h/s icap/1.0\r\n\r\n", options_reply},
        {"other version", "OPTIONS icap://h/s ICAP/2.0\r\n\r\n", bad_request},
        {"unreadable preview", "OPTIONS icap://h/s ICAP/1.0\r\nPreview: some\r\n\r\n", bad_request},
        // The rest of the head is read as the next request: its empty line
        // is a malformed request line.
        {"unknown entity", "REQMOD icap://h/s ICAP/1.0\r\nEncapsulated: req-hdr=0, foo-body=20\r\n\r\n",
         error_ok + bad_request},
        {"unreadable body ends the connection",
         "REQMOD icap://h/s ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=18\r\n\r\nGET / HTTP/1.0\r\n\r\n123456789abcdef01\r\n" +
             options_request,
         error_ok},
        {"modification without Encapsulated", "RESPMOD icap://h/s ICAP/1.0\r\n\r\n" + options_request,
         bad_request},
        {"header line over 4095 characters",
         "OPTIONS icap://h/s ICAP/1.0\r\nX-Long: " + std::string(9000, 'a') + "\r\n\r\n", bad_request},
        {"nothing sent", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(d.exchange(c.request), c.reply) << c.name;
    EXPECT_TRUE(no_workers_left());
    EXPECT_TRUE(d.running());
}

// The exit cycle line is written when the request loop ends the worker,
// not when the client ends the wait between requests.
TEST_F(daemon_test, exit_cycle_only_when_the_request_loop_ends) {
    start();
    auto exit_cycles = [&] {
        std::string log = d.log();
        size_t count = 0;
        for (size_t at = log.find("exit cycle: "); at != std::string::npos; at = log.find("exit cycle: ", at + 1))
            ++count;
        return count;
    };
    struct {
        const char* what;
        std::string request, reply;
        bool reset, logged;
    } cases[] = {
        {"client closes after a reply", options_request, options_reply, false, false},
        {"client resets after a reply", options_request, options_reply, true, false},
        {"connection close", "OPTIONS icap://h/s ICAP/1.0\r\nConnection: close\r\n\r\n", options_reply, false, true},
        {"bad request", "HELLO\r\n\r\n", bad_request, false, true},
        {"nothing sent", "", "", false, true},
    };
    for (const auto& c : cases) {
        size_t before = exit_cycles();
        int fd = d.connect();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(daemon_harness::send_all(fd, c.request));
        if (!c.reply.empty()) {
            EXPECT_EQ(daemon_harness::read_until(fd, istag), c.reply) << c.what;
        }
        if (c.reset) {
            struct linger hard = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        }
        close(fd);
        // With nothing sent, the worker may not even exist yet when the
        // client has closed: wait for its line rather than for its end.
        if (c.logged) {
            EXPECT_TRUE(wait_until([&] { return exit_cycles() > before; })) << c.what;
        }
        EXPECT_TRUE(no_workers_left()) << c.what;
        EXPECT_EQ(exit_cycles() - before, c.logged ? 1u : 0u) << c.what;
    }
}

TEST_F(daemon_test, keep_alive_off_serves_one_request) {
    start("[Daemon]\nKeepAlive = no\nUsePreview = no\n");
    EXPECT_EQ(d.exchange(options_request + options_request),
              options_start + "Connection: close\r\nOptions-TTL: 3600\r\nEncapsulated: null-body=0" + istag);
    EXPECT_EQ(d.exchange("BAD\r\n\r\n"),
              "ICAP/1.0 400 Bad Request\r\nEncapsulated: null-body=0\r\nConnection: close" + istag);
}

TEST_F(daemon_test, bad_clients_leave_the_parent_serving) {
    start("[Daemon]\nTimeout = 1\n");
    int before = d.open_descriptors();

    // Connects and leaves.
    int fd = d.connect();
    ASSERT_GE(fd, 0);
    close(fd);
    // Stalls in the middle of a request line: it waits in the keeper, which
    // closes it after Timeout, and costs no worker.
    int stalled = d.connect();
    ASSERT_TRUE(daemon_harness::send_all(stalled, "OPTIONS icap://h/s"));
    // Resets with a pending request.
    int reset = d.connect();
    ASSERT_TRUE(daemon_harness::send_all(reset, options_request + options_request));
    struct linger hard = {1, 0};
    setsockopt(reset, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(reset);

    EXPECT_EQ(daemon_harness::read_until(stalled, "", 5000), "");
    char byte;
    EXPECT_EQ(recv(stalled, &byte, 1, MSG_DONTWAIT), 0) << "closed by the daemon";
    close(stalled);
    EXPECT_TRUE(no_workers_left());
    EXPECT_EQ(d.log().find("timeout error in ipc"), std::string::npos) << "no worker was held by it";
    EXPECT_EQ(d.exchange(options_request), options_reply);
    EXPECT_TRUE(no_workers_left());
    EXPECT_EQ(d.open_descriptors(), before);
}

// 10 MB of Encapsulated lines is refused at once with 400 and a close. The
// worker's address space is capped at the parent's plus 8 MB, so a worker
// that made a record of every item would fail its allocations instead.
TEST_F(daemon_test, encapsulated_flood_is_refused_with_bounded_memory) {
    start();
    struct rlimit saved, capped;
    ASSERT_EQ(prlimit(d.pid(), RLIMIT_AS, nullptr, &saved), 0);
    capped = saved;
    capped.rlim_cur = static_cast<rlim_t>(daemon_harness::status_kib(d.pid(), "VmSize") + 8 * 1024) * 1024;
    ASSERT_EQ(prlimit(d.pid(), RLIMIT_AS, &capped, nullptr), 0);
    struct {
        const char* what;
        size_t items_per_line;
    } cases[] = {{"one item per line", 1}, {"many items per line", 300}};
    for (const auto& c : cases) {
        std::string line = "Encapsulated:";
        for (size_t i = 0; i < c.items_per_line; ++i)
            line += " null-body=0";
        line += "\r\n";
        std::string flood = "REQMOD icap://h/s ICAP/1.0\r\n";
        while (flood.size() < (10u << 20))
            flood += line;
        int fd = d.connect();
        ASSERT_GE(fd, 0);
        std::thread sender([&] { daemon_harness::send_all(fd, flood); });  // ends when the daemon closes
        EXPECT_EQ(daemon_harness::read_until(fd, bad_request, 20000), bad_request) << c.what;
        EXPECT_EQ(daemon_harness::read_until(fd, "", 20000), "") << c.what;
        sender.join();
        close(fd);
    }
    ASSERT_EQ(prlimit(d.pid(), RLIMIT_AS, &saved, nullptr), 0);
    EXPECT_TRUE(no_workers_left());
    EXPECT_NE(d.log().find("second Encapsulated header"), std::string::npos);
    EXPECT_NE(d.log().find("too many entities in header"), std::string::npos);
}

// Out of descriptors, accept fails in the waiting worker; it waits and then
// serves the connection that was kept pending.
TEST_F(daemon_test, accept_out_of_descriptors_recovers) {
    start("[Daemon]\nSpareWorkers = 1\nMaxWorkers = 1\n");
    ASSERT_TRUE(wait_until([&] { return d.children().size() == 1; }));
    pid_t worker = d.children()[0];
    std::string fd_dir = "/proc/" + std::to_string(worker) + "/fd/";
    ASSERT_TRUE(wait_until([&] { return d.log().find("Start child process") != std::string::npos; }));
    usleep(200000);  // its wait set made
    int lowest_free = 0;
    while (access((fd_dir + std::to_string(lowest_free)).c_str(), F_OK) == 0)
        ++lowest_free;
    struct rlimit saved, tight;
    ASSERT_EQ(prlimit(worker, RLIMIT_NOFILE, nullptr, &saved), 0);
    tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(prlimit(worker, RLIMIT_NOFILE, &tight, nullptr), 0);

    int fd = d.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(daemon_harness::send_all(fd, options_request));
    EXPECT_TRUE(wait_until([&] { return d.log().find("accept: Too many open files\n") != std::string::npos; }));
    EXPECT_TRUE(d.running());
    ASSERT_EQ(prlimit(worker, RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_EQ(daemon_harness::read_until(fd, istag), options_reply);
    close(fd);
}

// A served request leaves no alarm behind: the connection outlives Timeout
// while idle.
TEST_F(daemon_test, idle_keep_alive_outlives_the_timeout) {
    start("[Daemon]\nTimeout = 1\n");
    int fd = d.connect();
    const std::string get = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_TRUE(daemon_harness::send_all(fd, "REQMOD icap://h/s ICAP/1.0\r\nEncapsulated: req-hdr=0, null-body=" +
                                                 std::to_string(get.size()) + "\r\n\r\n" + get));
    EXPECT_NE(daemon_harness::read_until(fd, get, 1500).find("ICAP/1.0 200 OK"), std::string::npos);
    sleep(2);
    ASSERT_TRUE(daemon_harness::send_all(fd, options_request));
    EXPECT_EQ(daemon_harness::read_until(fd, istag), options_reply);
    close(fd);
    EXPECT_EQ(d.log().find("timeout error in ipc"), std::string::npos);
}

TEST_F(daemon_test, burst_of_quick_connections) {
    start("[Log]\nLogLevel = 1\n");
    int before = d.open_descriptors();
    int answered = 0;
    for (int i = 0; i < 400; ++i) {
        int fd = d.connect();
        ASSERT_GE(fd, 0) << i;
        if (i % 2 == 0) {
            daemon_harness::send_all(fd, options_request);
            if (daemon_harness::read_until(fd, istag, 5000) == options_reply)
                ++answered;
        }
        close(fd);
    }
    EXPECT_EQ(answered, 200);
    EXPECT_TRUE(d.running());
    EXPECT_TRUE(no_workers_left());
    EXPECT_EQ(d.open_descriptors(), before);
    EXPECT_EQ(d.exchange(options_request), options_reply);
}

// An idle keep-alive connection waits in the keeper through a reload: its
// next request is served by a worker of the new configuration.
TEST_F(daemon_test, reload_keeps_idle_connections_and_applies_new_settings) {
    start();
    int before = d.open_descriptors();
    int idle = d.connect();
    ASSERT_TRUE(daemon_harness::send_all(idle, options_request));
    ASSERT_EQ(daemon_harness::read_until(idle, istag), options_reply);
    EXPECT_TRUE(no_workers_left());  // without spare workers, it ends once the connection is idle

    write_config("[Daemon]\nUsePreview = no\n");
    d.signal(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return d.log().find("INFO Received SIGHUP signal") != std::string::npos; }));
    const std::string new_reply = options_start + "Options-TTL: 3600\r\nEncapsulated: null-body=0" + istag;
    ASSERT_TRUE(daemon_harness::send_all(idle, options_request));
    EXPECT_EQ(daemon_harness::read_until(idle, istag), new_reply);
    close(idle);
    EXPECT_EQ(d.log().find("exit cycle"), std::string::npos);
    EXPECT_EQ(d.exchange(options_request), new_reply);
    EXPECT_TRUE(file_exists(d.pid_path()));
    EXPECT_TRUE(wait_until([&] { return d.open_descriptors() == before; }));
}

TEST_F(daemon_test, reload_lets_a_busy_worker_finish) {
    start();
    const std::string http = "POST http://www.example.com/form HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    int busy = d.connect();
    ASSERT_TRUE(daemon_harness::send_all(busy, "REQMOD icap://h/s ICAP/1.0\r\nHost: h\r\nEncapsulated: req-hdr=0, req-body=" +
                                                   std::to_string(http.size()) + "\r\n\r\n" + http + "4\r\nab"));
    ASSERT_TRUE(wait_until([&] { return d.log().find("chunk header - '4") != std::string::npos; }));
    d.signal(SIGHUP);
    ASSERT_TRUE(wait_until([&] { return d.log().find("Received SIGHUP signal") != std::string::npos; }));
    ASSERT_TRUE(daemon_harness::send_all(busy, "cd\r\n0\r\n\r\n"));
    EXPECT_EQ(daemon_harness::read_until(busy, "", 5000).rfind("ICAP/1.0 20", 0), 0u);  // answered, then closed
    close(busy);
    EXPECT_TRUE(no_workers_left());
}

TEST_F(daemon_test, terminate_removes_the_pid_file) {
    start();
    EXPECT_EQ(daemon_harness::read_file(d.pid_path()), std::to_string(d.pid()));
    EXPECT_EQ(d.stop(), 0);
    EXPECT_FALSE(file_exists(d.pid_path()));
    EXPECT_NE(d.log().find("INFO Vorex (R) icapd shutdown\n"), std::string::npos);
}

TEST_F(daemon_test, client_list_refuses_others) {
    daemon_harness::write_file(d.path("acl_other"), "10.200.0.1\n");
    daemon_harness::write_file(d.path("acl_local"), "127.0.0.1\n");
    start("[Daemon]\nAclList = " + d.path("acl_other") + "\n");
    EXPECT_EQ(d.exchange(options_request), "");
    EXPECT_NE(d.log().find("Block ip 127.0.0.1: not in acl"), std::string::npos);
    d.stop();

    write_config("[Daemon]\nAclList = " + d.path("acl_other") + "\nAclList = " + d.path("acl_local") + "\n");
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.exchange(options_request), options_reply);
}

TEST_F(daemon_test, real_icap_peer) {
    if (access("/usr/bin/c-icap-client", X_OK) != 0)
        GTEST_SKIP() << "c-icap-client is not installed";
    start();
    // It reports failures on its output only, so the output is checked.
    std::string output;
    std::string command = "timeout 20 /usr/bin/c-icap-client -i 127.0.0.1 -p " + std::to_string(d.port()) +
                          " -s x 2>&1";
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, out)) > 0)
        output.append(buffer, n);
    pclose(out);
    for (const char* expected : {"Allow 204: Yes", "\tPreview: 0\n", "Keep alive: Yes",
                                 "Service: Vorex (R) icapd 6.0", "ISTAG: \"vorex-icapd6.0=0\""})
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
    EXPECT_TRUE(no_workers_left());
}

TEST_F(daemon_test, start_up_failures) {
    write_config();
    EXPECT_EQ(daemon_harness::run({"--check-only", "-f", d.config_path()}).out, "Options OK\n");

    // The port taken by a listening socket: no address binds.
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(d.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    struct {
        std::string extra;
        int status;
        const char* message;
    } cases[] = {
        {"", 3, "tcp_listen error for 127.0.0.1, "},
        {"[Daemon]\nBindAddress = no-such-host.invalid\n", 2, "getaddrinfo error for no-such-host.invalid, "},
        {"Timeout = soon\n", 1, nullptr},  // no log target chosen yet
    };
    for (const auto& c : cases) {
        write_config(c.extra);
        EXPECT_EQ(daemon_harness::run({"-m", "-f", d.config_path()}).status, c.status) << c.extra;
        if (c.message) {
            EXPECT_NE(d.log().find(c.message), std::string::npos) << c.message;
        }
    }
    close(taken);

    run_result bad = daemon_harness::run({"--check-only", "-f", d.config_path()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "Options ERROR\n");
    EXPECT_EQ(bad.err.rfind("Error while parsing config file: ", 0), 0u) << bad.err;
    EXPECT_EQ(bad.err.back(), '\n');
}

// A worker ended in the middle of a body, by SIGTERM, SIGKILL or the
// alarm, leaves no body file: it removes its own, or the parent removes
// those of a killed worker when it reaps it. The body file of another
// upload in progress stays.
TEST_F(daemon_test, interrupted_worker_removes_its_body_file) {
    const std::string http = "POST http://www.example.com/upload HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    const std::string request = "REQMOD icap://h/s ICAP/1.0\r\nHost: h\r\nEncapsulated: req-hdr=0, req-body=" +
                                std::to_string(http.size()) + "\r\n\r\n" + http +
                                "100000\r\n" + std::string(300000, 'b');  // 300 kB of a 1 MiB chunk
    auto cache_files = [&] { return d.cache_files(); };
    struct {
        const char* how;
        int signal;  // sent to the worker; 0: the Timeout alarm ends it
        const char* log_line;
    } cases[] = {
        {"SIGTERM", SIGTERM, nullptr},
        {"SIGKILL", SIGKILL, nullptr},  // logs the removal of the worker's file
        {"alarm", 0, "timeout error in ipc (timeout=1; url=http://www.example.com/upload)"},
    };
    for (const auto& c : cases) {
        start(std::string("[Daemon]\nTimeout = ") + (c.signal ? "60" : "1") + "\n");
        int fd = d.connect();
        ASSERT_TRUE(daemon_harness::send_all(fd, request));
        ASSERT_TRUE(wait_until([&] { return cache_files() == 1; })) << c.how << d.log();
        std::string log_line = c.log_line ? c.log_line : "";
        int other = -1;
        if (c.signal) {
            std::vector<pid_t> workers = d.children();
            ASSERT_EQ(workers.size(), 1u);
            other = d.connect();
            ASSERT_TRUE(daemon_harness::send_all(other, request));
            ASSERT_TRUE(wait_until([&] { return cache_files() == 2; })) << c.how << d.log();
            // A busy worker finishes its request on the first SIGTERM and
            // ends at once on the second (sent until it is gone, as two
            // signals sent together may arrive as one).
            const std::string ended = "worker " + std::to_string(workers[0]) + " ended";
            wait_until([&] { return kill(workers[0], c.signal) != 0 || d.log().find(ended) != std::string::npos; });
            ASSERT_TRUE(wait_until([&] { return d.log().find(ended) != std::string::npos; })) << c.how;
            EXPECT_EQ(cache_files(), 1) << c.how << ": the other upload keeps its file";
            if (c.signal == SIGKILL)
                log_line = "removed " + d.path("cache") + "/req-body" + std::to_string(workers[0]) + "-";
            close(other);
        }
        EXPECT_TRUE(no_workers_left()) << c.how;
        EXPECT_TRUE(wait_until([&] { return cache_files() == 0; })) << c.how;
        if (!log_line.empty()) {
            EXPECT_NE(d.log().find(log_line), std::string::npos) << d.log();
        }
        close(fd);
        d.stop();
    }
}

TEST_F(daemon_test, stale_lock_files_are_removed) {
    struct {
        const char* settings;
        bool old_removed;
    } cases[] = {
        {"SendMail = yes\nMailCache = 60\n", true},
        {"SendMailUwlBlock = yes\nMailCache = 60\n", true},
        {"SendMail = yes\nMailCache = 0\n", false},
        {"SendMail = no\nMailCache = 60\n", false},
    };
    for (const auto& c : cases) {
        std::string old_lock = d.path("cache/lock.old"), new_lock = d.path("cache/lock.new"),
                    other = d.path("cache/other.old");
        for (const std::string& file : {old_lock, new_lock, other})
            daemon_harness::write_file(file, "x");
        struct timeval long_ago[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
        utimes(old_lock.c_str(), long_ago);
        utimes(other.c_str(), long_ago);
        daemon_harness::write_file(d.log_path(), "");
        start(std::string("[Mail]\n") + c.settings);
        // The loop cleans when it starts; a request wakes it once more.
        EXPECT_EQ(d.exchange(options_request), options_reply);
        if (c.old_removed) {
            EXPECT_TRUE(wait_until([&] { return !file_exists(old_lock); })) << c.settings;
            EXPECT_NE(d.log().find("Remove old lock file " + old_lock + "\n"), std::string::npos);
        } else {
            EXPECT_TRUE(no_workers_left());
            EXPECT_TRUE(file_exists(old_lock)) << c.settings;
            EXPECT_EQ(d.log().find("Start check for lock files"), std::string::npos) << c.settings;
        }
        EXPECT_TRUE(file_exists(new_lock)) << c.settings;
        EXPECT_TRUE(file_exists(other)) << c.settings;
        d.stop();
    }
}

// Without -m: fork, new session, standard descriptors on /dev/null, pid
// file, and SIGTERM.
TEST_F(daemon_test, daemonising) {
    write_config();
    run_result first = daemon_harness::run({"-f", d.config_path()});
    EXPECT_EQ(first.status, 0);
    ASSERT_TRUE(wait_until([&] { return !daemon_harness::read_file(d.pid_path()).empty(); }));
    pid_t pid = std::stoi(daemon_harness::read_file(d.pid_path()));
    EXPECT_EQ(getsid(pid), pid);
    char target[256] = {};
    std::string fd0 = "/proc/" + std::to_string(pid) + "/fd/0";
    ASSERT_GT(readlink(fd0.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
    EXPECT_EQ(d.exchange(options_request), options_reply);

    kill(pid, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return !file_exists(d.pid_path()); }));
    EXPECT_TRUE(wait_until([&] {
        std::string stat = daemon_harness::read_file("/proc/" + std::to_string(pid) + "/stat");
        return stat.empty() || stat.find(") Z") != std::string::npos;
    }));
    EXPECT_NE(d.log().find("INFO Vorex (R) icapd shutdown\n"), std::string::npos);
}

// Started by an ordinary user whose own name is User: it cannot change its
// groups, and still daemonises and serves.
TEST_F(daemon_test, daemonising_as_an_ordinary_user) {
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "needs root to start the daemon as nobody";
    uid_t uid = nobody->pw_uid;
    gid_t gid = nobody->pw_gid;
    write_config("User = nobody\n");
    for (const char* name : {"", "cache", "uwl", "vorex-icapd.ini"})
        ASSERT_EQ(chown(d.path(name).c_str(), uid, gid), 0) << name;
    pid_t first = fork();
    if (first == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd)
            dup2(null_fd, fd);
        if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0)
            execl(daemon_harness::binary().c_str(), "vorex-icapd", "-f", d.config_path().c_str(),
                  static_cast<char*>(nullptr));
        _exit(127);
    }
    int raw = 0;
    ASSERT_EQ(waitpid(first, &raw, 0), first);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw << d.log();
    ASSERT_TRUE(wait_until([&] { return !daemon_harness::read_file(d.pid_path()).empty(); })) << d.log();
    pid_t pid = std::stoi(daemon_harness::read_file(d.pid_path()));
    EXPECT_EQ(d.exchange(options_request), options_reply);
    kill(pid, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return !file_exists(d.pid_path()); }));
}

}  // namespace
