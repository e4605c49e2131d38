// The connection keeper of the real daemon: idle, silent and slow
// connections hold no worker, whatever their number, while active clients
// are served at once; heads split across hand-offs keep their order;
// connections closed while idle and MaxConnections cost no worker; many
// hand-offs leave the keeper flat.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "integration/daemon_harness.h"

namespace {

using steady = std::chrono::steady_clock;

const std::string options_request = "OPTIONS icap://127.0.0.1/vorex ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
const std::string istag = "\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n";

// A RESPMOD of a 1 KB body without Allow: 204: the reply echoes it and ends
// with the zero chunk.
std::string echo_request() {
    const std::string req = "GET http://www.example.org/f HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
    const std::string body(1024, 'x');
    const std::string res = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 1024\r\n\r\n";
    return "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\nEncapsulated: req-hdr=0, res-hdr=" +
           std::to_string(req.size()) + ", res-body=" + std::to_string(req.size() + res.size()) + "\r\n\r\n" + req +
           res + "400\r\n" + body + "\r\n0\r\n\r\n";
}

std::string reqmod(const std::string& host) {
    const std::string get = "GET http://" + host + "/ HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\nEncapsulated: req-hdr=0, null-body=" +
           std::to_string(get.size()) + "\r\n\r\n" + get;
}

int descriptors_of(pid_t pid) {
    int count = 0;
    if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (struct dirent* entry = readdir(fds))
            count += entry->d_name[0] != '.';
        closedir(fds);
    }
    return count;
}

// The descriptors of a process once their number has held still for 100 ms
// (at most 5 s): the keeper is found by its name before it has closed what
// it inherited and opened its own.
int settled_descriptors_of(pid_t pid) {
    int seen = descriptors_of(pid);
    for (int same = 0, tries = 0; same < 5 && tries < 250; ++tries) {
        usleep(20000);
        int now = descriptors_of(pid);
        same = now == seen ? same + 1 : 0;
        seen = now;
    }
    return seen;
}

// User and system time of a process so far, in clock ticks.
long cpu_ticks_of(pid_t pid) {
    std::string stat = daemon_harness::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

// Reads until `count` whole replies (each has an ISTAG header) have come.
std::string read_replies(int fd, size_t count) {
    std::string replies;
    auto whole = [&] {
        size_t seen = 0;
        for (size_t at = replies.find("ISTAG:"); at != std::string::npos; at = replies.find("ISTAG:", at + 1))
            ++seen;
        return seen >= count && replies.size() >= 4 && replies.compare(replies.size() - 4, 4, "\r\n\r\n") == 0;
    };
    while (!whole()) {
        std::string more = daemon_harness::read_until(fd, "\r\n\r\n", 5000);
        if (more.empty())
            break;
        replies += more;
    }
    return replies;
}

class connection_keeper : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        // Thousands of client connections in this process.
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    void TearDown() override {
        for (int fd : open_)
            close(fd);
        if (d.running()) {
            std::vector<pid_t> left = d.children();
            pid_t keeper = d.keeper();
            int status = d.stop();
            EXPECT_EQ(status, 0) << "keeper " << keeper << ", " << left.size() << " other children";
            if (status != 0)
                print_log_but_request_lines();
        }
    }
    void start(const std::string& extra) {
        daemon_harness::write_file(d.path("black"), "black.example\n");
        d.write_config("[Log]\nLogLevel = 1\n[Daemon]\nBlackHosts = " + d.path("black") + "\n" + extra);
        ASSERT_TRUE(d.start()) << d.read_file(d.path("stderr")) << d.log();
        ASSERT_TRUE(wait_until([&] { return d.keeper() > 0; }));
    }
    int kept(int fd) {
        open_.push_back(fd);
        return fd;
    }
    // A connection that has had one OPTIONS answered and stays open.
    int idle_connection() {
        int fd = kept(d.connect());
        EXPECT_TRUE(daemon_harness::send_all(fd, options_request));
        EXPECT_NE(daemon_harness::read_until(fd, istag).find("ICAP/1.0 200 OK"), std::string::npos);
        return fd;
    }

    // The log without its line per request.
    void print_log_but_request_lines() {
        std::istringstream log(d.log());
        for (std::string line; std::getline(log, line);)
            if (line.find(" WARN url:") == std::string::npos)
                std::cout << line << "\n";
    }

    daemon_harness d;
    std::vector<int> open_;
};

// MaxWorkers = 4 under 1,000 idle keep-alive connections, 200 that never
// send a byte and 300 that send their heads a byte every 300 ms: 16 clients
// echoing in a loop, through two reloads, each have every request answered
// within a second; the slow ones are answered once their heads are whole;
// and no more processes run than the workers, the parent and the keeper.
TEST_F(connection_keeper, idle_silent_and_slow_connections_leave_active_clients_served) {
    start("MaxWorkers = 4\nSpareWorkers = 4\nTimeout = 60\n");
    for (int i = 0; i < 1000; ++i)
        idle_connection();
    for (int i = 0; i < 200; ++i)
        kept(d.connect());
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i)
        slow.push_back(kept(d.connect()));

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<long> answered{0};
    std::atomic<long long> slowest_ms{0};
    std::vector<std::thread> active;
    for (int i = 0; i < 16; ++i) {
        active.emplace_back([&] {
            int fd = d.connect();
            const std::string request = echo_request();
            while (!stop) {
                steady::time_point sent = steady::now();
                if (!daemon_harness::send_all(fd, request) ||
                    daemon_harness::read_until(fd, "\r\n0\r\n\r\n", 5000).find(std::string(1024, 'x')) ==
                        std::string::npos) {
                    ++failures;
                    break;
                }
                long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - sent).count();
                long long seen = slowest_ms;
                while (ms > seen && !slowest_ms.compare_exchange_weak(seen, ms)) {
                }
                ++answered;
                usleep(1000);  // a busy client, not a flood: the log gets a line per request
            }
            close(fd);
        });
    }
    // The slow heads, a byte each 300 ms on every slow connection; two
    // reloads meanwhile.
    for (size_t at = 0; at < options_request.size(); ++at) {
        for (int fd : slow)
            ASSERT_TRUE(daemon_harness::send_all(fd, options_request.substr(at, 1)));
        if (at == 10 || at == 25)
            d.signal(SIGHUP);
        EXPECT_LE(d.children().size(), 4u);
        usleep(300000);
    }
    stop = true;
    for (std::thread& t : active)
        t.join();
    EXPECT_EQ(failures, 0) << d.log();
    EXPECT_GT(answered, 100);
    EXPECT_LT(slowest_ms, 1000);
    printf("%ld requests; the slowest took %lld ms\n", answered.load(), slowest_ms.load());
    for (int fd : slow)
        EXPECT_NE(daemon_harness::read_until(fd, istag).find("ICAP/1.0 200 OK"), std::string::npos);
    // The idle ones are still there.
    for (size_t i = 0; i < 1000; i += 97) {
        ASSERT_TRUE(daemon_harness::send_all(open_[i], options_request));
        EXPECT_NE(daemon_harness::read_until(open_[i], istag).find("ICAP/1.0 200 OK"), std::string::npos);
    }
    EXPECT_LE(d.children().size(), 4u);
}

// Three requests in one write are answered in order, also when the first
// head arrives in two parts with a hand-off between them; a client that
// closes while idle frees its connection without a worker.
TEST_F(connection_keeper, pipelined_and_split_heads_keep_their_order) {
    start("MaxWorkers = 1\nSpareWorkers = 1\n");
    const std::string three = options_request + reqmod("black.example") + reqmod("www.example.org");
    for (size_t split : {three.size(), size_t{20}}) {
        int fd = kept(d.connect());
        ASSERT_TRUE(daemon_harness::send_all(fd, three.substr(0, split)));
        usleep(50000);  // well past the worker's linger: the keeper holds it
        ASSERT_TRUE(daemon_harness::send_all(fd, three.substr(split)));
        std::string replies = read_replies(fd, 3);
        size_t options_at = replies.find("Methods: RESPMOD, OPTIONS, REQMOD");
        size_t block_at = replies.find("Access blocked");
        size_t pass_at = replies.find("Host: www.example.org");
        EXPECT_LT(options_at, block_at) << split << replies;
        EXPECT_LT(block_at, pass_at) << split << replies;
        EXPECT_NE(pass_at, std::string::npos) << split << replies;
    }

    pid_t keeper = d.keeper();
    std::vector<pid_t> workers = d.children();
    usleep(100000);  // the last connection is back in the keeper
    const int before = descriptors_of(keeper);
    std::vector<int> closing;
    for (int i = 0; i < 50; ++i)
        closing.push_back(idle_connection());
    EXPECT_TRUE(wait_until([&] { return descriptors_of(keeper) == before + 50; })) << descriptors_of(keeper) << " " << before;
    for (int fd : closing) {
        open_.erase(std::find(open_.begin(), open_.end(), fd));
        close(fd);
    }
    EXPECT_TRUE(wait_until([&] { return descriptors_of(keeper) == before; })) << descriptors_of(keeper) << " " << before;
    EXPECT_EQ(d.children(), workers) << "no worker forked or ended for them";
}

// Beyond MaxConnections a new connection is closed at once and counted in
// the log; those held are still served.
TEST_F(connection_keeper, connections_beyond_max_connections_are_refused) {
    start("MaxWorkers = 2\nSpareWorkers = 2\nMaxConnections = 20\n");
    const int base = settled_descriptors_of(d.keeper());
    for (int i = 0; i < 20; ++i)
        kept(d.connect());
    ASSERT_TRUE(wait_until([&] { return descriptors_of(d.keeper()) == base + 20; }));
    std::vector<int> extra;
    for (int i = 0; i < 5; ++i)
        extra.push_back(kept(d.connect()));
    for (int fd : extra)
        EXPECT_EQ(daemon_harness::read_until(fd, "", 5000), "");
    for (int fd : extra) {
        char byte;
        EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "closed by the daemon";
    }
    EXPECT_TRUE(wait_until([&] { return d.log().find("connections refused: MaxConnections (20) are held") != std::string::npos; }))
        << d.log();
    ASSERT_TRUE(daemon_harness::send_all(open_[0], options_request));
    EXPECT_NE(daemon_harness::read_until(open_[0], istag).find("ICAP/1.0 200 OK"), std::string::npos);
}

// More ready connections than the channel to the workers holds, while the
// only worker is busy: they wait in the keeper, all are served once it is
// free, and the keeper then sleeps.
TEST_F(connection_keeper, ready_connections_beyond_the_channel_wait_and_the_keeper_sleeps) {
    start("MaxWorkers = 1\nSpareWorkers = 1\n");
    std::vector<int> waiting;
    for (int i = 0; i < 600; ++i)
        waiting.push_back(kept(d.connect()));  // into the keeper: no head yet
    ASSERT_TRUE(wait_until([&] { return descriptors_of(d.keeper()) >= 600; }));
    const std::string http = "POST http://www.example.org/ HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
    int busy = kept(d.connect());
    ASSERT_TRUE(daemon_harness::send_all(busy, "REQMOD icap://h/s ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=" +
                                                   std::to_string(http.size()) + "\r\n\r\n" + http + "4\r\nab"));
    usleep(100000);
    for (int fd : waiting)
        ASSERT_TRUE(daemon_harness::send_all(fd, options_request));
    usleep(200000);
    ASSERT_TRUE(daemon_harness::send_all(busy, "cd\r\n0\r\n\r\n"));
    EXPECT_NE(daemon_harness::read_until(busy, "0\r\n\r\n").find("ICAP/1.0 200"), std::string::npos);
    for (int fd : waiting)
        EXPECT_NE(daemon_harness::read_until(fd, istag).find("ICAP/1.0 200 OK"), std::string::npos);
    usleep(200000);
    pid_t keeper = d.keeper();
    const long before = cpu_ticks_of(keeper);
    usleep(1000000);
    EXPECT_LE(cpu_ticks_of(keeper) - before, 5) << "the idle keeper spins";
}

// A daemon killed outright takes its keeper (holding connections) and its
// workers with it: nothing is left running.
TEST_F(connection_keeper, the_keeper_and_workers_end_with_a_killed_daemon) {
    start("MaxWorkers = 2\nSpareWorkers = 2\n");
    for (int i = 0; i < 20; ++i)
        idle_connection();
    std::vector<pid_t> left = d.children();
    left.push_back(d.keeper());
    d.signal(SIGKILL);
    auto gone = [](pid_t pid) {
        std::string stat = daemon_harness::read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = stat.rfind(')');
        return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
    };
    for (pid_t pid : left)
        EXPECT_TRUE(wait_until([&] { return gone(pid); })) << pid << " still runs";
    EXPECT_EQ(d.wait_exit(5000), 128 + SIGKILL);
}

// 100,000 hand-offs: 100 clients that pause past the linger before each
// request, so that every request goes through the keeper. Its descriptors
// and memory are the same after them as after the first 10,000.
TEST_F(connection_keeper, many_handoffs_leave_the_keeper_flat) {
    start("MaxWorkers = 32\nSpareWorkers = 32\n");
    constexpr int clients = 100;
    std::vector<int> fds;
    for (int i = 0; i < clients; ++i)
        fds.push_back(kept(d.connect()));
    auto rounds = [&](int count) {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int r = 0; r < count; ++r) {
                    usleep(6000);
                    for (int i = t; i < clients; i += 4)
                        if (!daemon_harness::send_all(fds[i], options_request))
                            ++failures;
                    for (int i = t; i < clients; i += 4)
                        if (daemon_harness::read_until(fds[i], istag).find("ICAP/1.0 200 OK") == std::string::npos)
                            ++failures;
                }
            });
        }
        for (std::thread& t : threads)
            t.join();
        return failures.load();
    };
    ASSERT_EQ(rounds(100), 0);
    pid_t keeper = d.keeper();
    usleep(100000);
    const int descriptors = descriptors_of(keeper);
    const long rss = daemon_harness::status_kib(keeper, "VmRSS");
    ASSERT_EQ(rounds(900), 0);
    usleep(100000);
    EXPECT_EQ(descriptors_of(keeper), descriptors);

#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps freed memory resident
    EXPECT_LE(daemon_harness::status_kib(keeper, "VmRSS"), rss + 256);
#else
    (void)rss;
#endif
    EXPECT_EQ(d.keeper(), keeper);
}

}  // namespace
