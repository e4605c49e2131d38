// The worker pool of the real daemon: spare workers forked ahead, the
// MaxWorkers bound, idle time-outs, replacement of workers that end or die,
// reload and shutdown with busy workers, and connections served one after
// another by the same worker without anything of one reaching the next.

#include <csignal>
#include <dirent.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "integration/daemon_harness.h"

namespace {

const std::string options_request = "OPTIONS icap://127.0.0.1/vorex ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
const std::string istag = "\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n";
const std::string http = "POST http://bad.example/form HTTP/1.1\r\nHost: bad.example\r\n\r\n";
// A REQMOD whose body stops after its first chunk: the worker stays busy.
const std::string unfinished_reqmod = "REQMOD icap://h/s ICAP/1.0\r\nHost: h\r\nEncapsulated: req-hdr=0, req-body=" +
                                      std::to_string(http.size()) + "\r\n\r\n" + http + "4\r\nab";
const std::string rest_of_reqmod = "cd\r\n0\r\n\r\n";

bool has_preview(const std::string& reply) { return reply.find("Preview: 0") != std::string::npos; }

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

// No such process, or one that has ended and waits to be reaped.
bool gone(pid_t pid) {
    std::string stat = daemon_harness::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

class worker_pool : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }

    // Every test ends with a clean stop: the daemon and all its workers
    // gone, no body file left.
    void TearDown() override {
        std::vector<pid_t> workers = d.children();
        if (d.running()) {
            EXPECT_EQ(d.stop(), 0);
        }
        for (pid_t pid : workers)
            EXPECT_TRUE(wait_until([&] { return gone(pid); })) << "worker " << pid << " left";
        DIR* cache = opendir(d.path("cache").c_str());
        while (struct dirent* entry = cache ? readdir(cache) : nullptr)
            EXPECT_EQ(entry->d_name[0], '.') << entry->d_name;
        if (cache)
            closedir(cache);
    }

    void start(const std::string& extra = "") {
        daemon_harness::write_file(d.path("black"), "bad.example\n");
        d.write_config("[Daemon]\nBlackHosts = " + d.path("black") + "\n" + extra);
        ASSERT_TRUE(d.start()) << d.read_file(d.path("stderr")) << d.log();
    }
    bool workers_are(size_t n) {
        return wait_until([&] { return d.children().size() == n; });
    }
    // The daemon's only worker, once it is no longer `old`. One reading of
    // the children: a worker may end between two readings.
    bool sole_worker_replaces(pid_t old, pid_t* now) {
        return wait_until([&] {
            std::vector<pid_t> workers = d.children();
            *now = workers.size() == 1 ? workers[0] : 0;
            return *now != 0 && *now != old;
        });
    }
    // An open connection that has had one OPTIONS answered.
    int served_connection() {
        int fd = d.connect();
        EXPECT_TRUE(daemon_harness::send_all(fd, options_request));
        EXPECT_TRUE(has_preview(daemon_harness::read_until(fd, istag)));
        return fd;
    }
    // An open connection whose worker is in the middle of a request.
    int busy_connection() {
        int fd = d.connect();
        size_t seen = count_of(d.log(), "chunk header - '4");
        EXPECT_TRUE(daemon_harness::send_all(fd, unfinished_reqmod));
        EXPECT_TRUE(wait_until([&] { return count_of(d.log(), "chunk header - '4") > seen; }));
        return fd;
    }

    daemon_harness d;
};

TEST_F(worker_pool, spare_workers_wait_and_a_burst_beyond_them_is_served) {
    start();
    EXPECT_TRUE(workers_are(4));
    std::vector<int> burst;
    for (int i = 0; i < 24; ++i) {
        burst.push_back(d.connect());
        ASSERT_TRUE(daemon_harness::send_all(burst.back(), options_request));
    }
    for (int fd : burst) {
        EXPECT_TRUE(has_preview(daemon_harness::read_until(fd, istag)));
        close(fd);
    }
    // Idle workers beyond twice SpareWorkers leave.
    EXPECT_TRUE(wait_until([&] { return d.children().size() <= 8 && d.children().size() >= 4; }));
}

// MaxWorkers = 2: connections idle between requests hold no worker, so a
// third client is served beside them; with both workers busy in the middle
// of a request, it waits (not refused) until one is free.
TEST_F(worker_pool, only_busy_connections_hold_workers) {
    start("MaxWorkers = 2\nSpareWorkers = 2\n");
    ASSERT_TRUE(workers_are(2));
    int first = served_connection();
    int second = served_connection();
    int third = served_connection();
    close(third);
    int busy_one = busy_connection();
    int busy_two = busy_connection();
    int waiting = d.connect();
    ASSERT_TRUE(daemon_harness::send_all(waiting, options_request));
    EXPECT_EQ(daemon_harness::read_until(waiting, istag, 500), "");
    EXPECT_EQ(d.children().size(), 2u);
    ASSERT_TRUE(daemon_harness::send_all(busy_one, rest_of_reqmod));
    EXPECT_NE(daemon_harness::read_until(busy_one, "0\r\n\r\n").find("Access blocked"), std::string::npos);
    EXPECT_TRUE(has_preview(daemon_harness::read_until(waiting, istag)));
    // The idle ones are still served.
    for (int fd : {first, second}) {
        ASSERT_TRUE(daemon_harness::send_all(fd, options_request));
        EXPECT_TRUE(has_preview(daemon_harness::read_until(fd, istag)));
    }
    for (int fd : {first, second, busy_one, busy_two, waiting})
        close(fd);
}

// Once it has sent a request, a silent client is closed after
// KeepAliveTimeout; before its first request head is complete, after
// Timeout. Neither holds a worker meanwhile, and none is killed.
TEST_F(worker_pool, idle_clients_are_closed_without_holding_a_worker) {
    start("KeepAliveTimeout = 1\nTimeout = 1\nMaxWorkers = 1\nSpareWorkers = 1\n");
    ASSERT_TRUE(workers_are(1));
    pid_t worker = d.children()[0];
    int kept = served_connection();
    int silent = d.connect();
    ASSERT_TRUE(daemon_harness::send_all(silent, "OPTIONS icap"));
    int active = served_connection();  // served while both wait
    close(active);
    for (int fd : {kept, silent}) {
        EXPECT_EQ(daemon_harness::read_until(fd, "", 5000), "");
        char byte;
        EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "closed by the daemon";
        close(fd);
    }
    EXPECT_EQ(d.children(), std::vector<pid_t>{worker}) << "no worker ended";
    close(served_connection());
}

// Workers that end are replaced: after MaxConnectionsPerWorker connections,
// and when killed (the parent logs the pid and the status).
TEST_F(worker_pool, ended_workers_are_replaced) {
    start("MaxConnectionsPerWorker = 1\nMaxWorkers = 1\nSpareWorkers = 1\n");
    ASSERT_TRUE(workers_are(1));
    pid_t first = d.children()[0];
    EXPECT_TRUE(has_preview(d.exchange(options_request)));
    pid_t second = 0, third = 0;
    ASSERT_TRUE(sole_worker_replaces(first, &second));
    kill(second, SIGKILL);
    ASSERT_TRUE(sole_worker_replaces(second, &third));
    EXPECT_NE(d.log().find("worker " + std::to_string(second) + " ended by signal 9\n"), std::string::npos);
    EXPECT_TRUE(has_preview(d.exchange(options_request)));
}

// A successful reload keeps the idle keep-alive connections: the next
// request of one is decided under the new settings (the black host the
// reload adds blocks it). A busy worker finishes its request with the old
// settings (not blocked) and then ends, as do the idle workers.
TEST_F(worker_pool, reload_with_idle_and_busy_workers) {
    d.write_config("[Daemon]\nSpareWorkers = 2\n");
    ASSERT_TRUE(d.start()) << d.log();
    ASSERT_TRUE(workers_are(2));
    std::vector<pid_t> old_workers = d.children();
    int idle = served_connection();
    int busy = busy_connection();

    daemon_harness::write_file(d.path("black"), "bad.example\n");
    d.write_config("[Daemon]\nUsePreview = no\nSpareWorkers = 2\nBlackHosts = " + d.path("black") + "\n");
    d.signal(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return !has_preview(d.exchange(options_request)); }));
    ASSERT_TRUE(daemon_harness::send_all(idle, unfinished_reqmod + rest_of_reqmod));
    EXPECT_NE(daemon_harness::read_until(idle, "0\r\n\r\n").find("Access blocked"), std::string::npos);
    close(idle);
    ASSERT_TRUE(daemon_harness::send_all(busy, rest_of_reqmod));
    std::string reply = daemon_harness::read_until(busy, "0\r\n\r\n");
    EXPECT_EQ(reply.rfind("ICAP/1.0 200", 0), 0u) << reply;
    EXPECT_EQ(reply.find("Access blocked"), std::string::npos);
    close(busy);
    for (pid_t pid : old_workers)
        EXPECT_TRUE(wait_until([&] { return gone(pid); }));
}

// A reload asks the engine for its version only once the new generation's
// workers run: with an engine that takes connections and never answers,
// new connections are still served at once while the parent waits.
TEST_F(worker_pool, reload_with_a_silent_engine_leaves_new_connections_served) {
    const std::string socket_path = d.path("silent.sock");
    int silent = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent, 8), 0);
    start("SpareWorkers = 2\nTimeout = 4\n");
    ASSERT_TRUE(workers_are(2));

    d.write_config(("[Daemon]\nBlackHosts = " + d.path("black") +
                                                              "\nSpareWorkers = 2\nTimeout = 4\n[Scanning]\n"
                                                              "ClamdAddress = local:" + socket_path + "\n"));
    d.signal(SIGHUP);
    ASSERT_TRUE(wait_until([&] { return d.log().find("Received SIGHUP signal") != std::string::npos; }));
    // The version query waits up to Timeout; the request is answered well
    // before it.
    std::string reply = d.exchange(unfinished_reqmod + rest_of_reqmod, 1000);
    EXPECT_NE(reply.find("Access blocked"), std::string::npos) << reply << d.log();
    close(silent);
}

// SIGTERM: the pid file goes and idle workers end at once; a busy worker
// finishes its request, then the daemon ends. A second SIGTERM ends a busy
// worker at once.
TEST_F(worker_pool, terminate_lets_a_busy_worker_finish_unless_told_twice) {
    for (bool twice : {false, true}) {
        start();
        ASSERT_TRUE(workers_are(4));
        int busy = busy_connection();
        d.signal(SIGTERM);
        EXPECT_TRUE(wait_until([&] { return access(d.pid_path().c_str(), F_OK) != 0; }));
        EXPECT_TRUE(workers_are(1)) << twice;
        if (twice) {
            d.signal(SIGTERM);
            EXPECT_EQ(daemon_harness::read_until(busy, "", 5000), "");
        } else {
            ASSERT_TRUE(daemon_harness::send_all(busy, rest_of_reqmod));
            EXPECT_NE(daemon_harness::read_until(busy, "", 5000).find("Access blocked"), std::string::npos);
        }
        close(busy);
        EXPECT_EQ(d.wait_exit(5000), 0) << twice;
    }
}

// One worker serves the connections one after another: a cut request line
// left in its line buffer, a close request or a refused client of one
// connection change nothing for the next.
TEST_F(worker_pool, nothing_of_one_connection_reaches_the_next) {
    daemon_harness::write_file(d.path("acl"), "127.0.0.1\n");
    start("MaxWorkers = 1\nSpareWorkers = 1\nAclList = " + d.path("acl") + "\n");
    ASSERT_TRUE(workers_are(1));
    pid_t worker = d.children()[0];
    const std::string close_request = "OPTIONS icap://h/s ICAP/1.0\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(count_of(d.exchange(options_request + "OPTIONS icap://h/s ICA"), "ICAP/1.0 200 OK"), 1u);
    EXPECT_EQ(count_of(d.exchange(close_request + options_request), "ICAP/1.0 200 OK"), 1u);
    EXPECT_EQ(count_of(d.exchange(options_request + options_request), "ICAP/1.0 200 OK"), 2u);

    // The client check runs in the worker, right after accept.
    d.write_config("[Daemon]\nMaxWorkers = 1\nSpareWorkers = 1\nAclList = " + d.path("acl") + "\n");
    daemon_harness::write_file(d.path("acl"), "10.200.0.1\n");
    d.signal(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return d.exchange(options_request).empty(); }));
    EXPECT_NE(d.log().find("Block ip 127.0.0.1: not in acl"), std::string::npos);
    pid_t replacement = 0;
    EXPECT_TRUE(sole_worker_replaces(worker, &replacement));  // the reload replaced it
}

TEST_F(worker_pool, bad_pool_settings_fail_the_load) {
    const struct {
        const char* line;
        const char* message;
    } cases[] = {
        {"MaxWorkers = 0", "Error in MaxWorkers setting: it must be between 1 and 4096."},
        {"SpareWorkers = -1", "Error in SpareWorkers setting: it must be between 0 and 4096."},
        {"MaxWorkers = 2\nSpareWorkers = 3", "Error in SpareWorkers setting: it must not be larger than MaxWorkers (2)."},
        {"MaxConnectionsPerWorker = -1", "Error in MaxConnectionsPerWorker setting: it must be >= 0."},
        {"KeepAliveTimeout = -1", "Error in KeepAliveTimeout setting: it must be >= 0."},
    };
    for (const auto& c : cases) {
        d.write_config(std::string("[Daemon]\n") + c.line + "\n");
        run_result r = daemon_harness::run({"--check-only", "-f", d.config_path()});
        EXPECT_EQ(r.status, 1) << c.line;
        EXPECT_EQ(r.out, "Options ERROR\n");
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

}  // namespace
