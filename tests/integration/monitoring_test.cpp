// The access log and the metrics endpoint of the real daemon: one line and
// the exact counts for a known sequence of requests, counters across a
// reload and a killed worker, promtool, the status page in a browser,
// misbehaving metrics clients, and many workers appending at once.

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/daemon_harness.h"
#include "integration/scan_standin.h"
#include "uwl_writer.h"

namespace {

const std::string req_hdr = "GET /dir/file.bin HTTP/1.1\r\nHost: www.example.org\r\n\r\n";

std::string chunk(const std::string& data) {
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

std::string respmod(const std::string& body, const std::string& type, bool allow_204) {
    std::string res = "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n";
    std::string head = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n";
    if (allow_204)
        head += "Allow: 204\r\n";
    head += "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req_hdr.size()) +
            ", res-body=" + std::to_string(req_hdr.size() + res.size()) + "\r\n\r\n";
    return head + req_hdr + res + chunk(body) + "0\r\n\r\n";
}

std::string reqmod(const std::string& host, const std::string& path) {
    const std::string get = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\nEncapsulated: req-hdr=0, null-body=" +
           std::to_string(get.size()) + "\r\n\r\n" + get;
}

const std::string options = "OPTIONS icap://127.0.0.1/respmod ICAP/1.0\r\n\r\n";

int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One HTTP exchange on the metrics port; the whole response.
std::string http(int port, const std::string& request) {
    int fd = connect_to(port);
    if (fd < 0)
        return "<no connection>";
    daemon_harness::send_all(fd, request);
    std::string reply = daemon_harness::read_until(fd, "", 5000);
    close(fd);
    return reply;
}

std::string body_of(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// "name{labels}" -> value of every sample.
std::map<std::string, std::string> samples(const std::string& text) {
    std::map<std::string, std::string> found;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t blank = line.rfind(' ');
        found[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return found;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

// Runs a shell command; its exit status and output.
std::pair<int, std::string> shell(const std::string& command) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {-1, output};
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

bool have(const char* program) { return shell(std::string("command -v ") + program).first == 0; }

std::string list_file(std::initializer_list<const char*> lines) {
    uwl_source source;
    for (const char* line : lines)
        uwl_source_line(source, line);
    return uwl_sign(uwl_layout(source), VRX_UWL_PRIVATE_KEY);
}

class monitoring : public ::testing::Test {
protected:
    daemon_harness daemon;
    std::unique_ptr<standin_process> scanner;
    int metrics_port = daemon_harness::free_port();

    void SetUp() override { signal(SIGPIPE, SIG_IGN); }

    std::string access_log_path() const { return daemon.path("access.log"); }

    // The daemon with the access log, metrics, a black host, a category
    // list, a MIME reject rule and (with_scanner) the stand-in scanner.
    void start(bool with_scanner, const std::string& extra = "") {
        std::filesystem::create_directories(daemon.path("uwl"));
        daemon_harness::write_file(daemon.path("uwl/p.uwl"), list_file({"type porno", "url bad.example"}));
        daemon_harness::write_file(daemon.path("black"), "black.example\n");
        if (with_scanner) {
            scanner = std::make_unique<standin_process>(daemon.dir(), std::vector<std::string>{});
            ASSERT_TRUE(scanner->ready());
        }
        write_config(extra);
        ASSERT_TRUE(daemon.start()) << daemon.log();
    }

    void write_config(const std::string& extra = "") {
        std::string settings = "AccessLog = " + access_log_path() + "\nMetricsAddress = inet:" +
                               std::to_string(metrics_port) + "@127.0.0.1\nBlackHosts = " + daemon.path("black") +
                               "\nMimeStart\nimage reject -report all\nMimeEnd\n" + extra;
        if (scanner)
            settings += "VorexAddress = " + scanner->local_address() + "\n";
        daemon.write_config(settings);
    }

    std::map<std::string, std::string> metrics() { return samples(body_of(http(metrics_port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"))); }

    std::vector<std::string> access_lines() const { return split(daemon_harness::read_file(access_log_path()), '\n'); }
};

struct expected_line {
    const char* method;
    const char* service;
    const char* status;
    const char* url;
    const char* received;   // nullptr: not checked
    const char* sent;
    const char* decision;
    const char* threats;
};

TEST_F(monitoring, known_sequence_gives_one_line_each_and_exact_counters) {
    start(true);
    const std::string clean = "clean body";
    const std::string site = "www.example.org/dir/file.bin";
    struct step {
        std::string request;
        const char* reply_start;
        expected_line line;
    } steps[] = {
        {options, "ICAP/1.0 200 OK", {"OPTIONS", "/respmod", "200", "-", "0", "0", "-", "-"}},
        {respmod(clean, "application/octet-stream", true), "ICAP/1.0 204",
         {"RESPMOD", "/respmod", "204", site.c_str(), "10", "0", "204", "-"}},
        {respmod(clean, "application/octet-stream", false), "ICAP/1.0 200 OK",
         {"RESPMOD", "/respmod", "200", site.c_str(), "10", "10", "pass", "-"}},
        {reqmod("black.example", "/x"), "ICAP/1.0 200 OK",
         {"REQMOD", "/reqmod", "200", "black.example/x", "0", nullptr, "block-host", "-"}},
        {reqmod("bad.example", "/a%20b"), "ICAP/1.0 200 OK",   // the sign itself is escaped: %25
         {"REQMOD", "/reqmod", "200", "bad.example/a%2520b", "0", nullptr, "block-category:porno", "-"}},
        {respmod("not really a png", "image/png", true), "ICAP/1.0 200 OK",
         {"RESPMOD", "/respmod", "200", site.c_str(), "16", nullptr, "block-mime", "-"}},
        {respmod("head " + eicar() + " tail", "application/octet-stream", true), "ICAP/1.0 200 OK",
         {"RESPMOD", "/respmod", "200", site.c_str(), "78", "10", "virus:cure", "EICAR-Test-File"}},
        {"BREW icap://127.0.0.1/x ICAP/1.0\r\n\r\n", "ICAP/1.0 400", {"-", "-", "400", "-", "0", "0", "error", "-"}},
        // The scanner is stopped before this one.
        {respmod(clean, "application/octet-stream", true), "ICAP/1.0 200 OK",
         {"RESPMOD", "/respmod", "200", site.c_str(), "10", nullptr, "scan-error", "-"}},
    };
    const size_t scanner_down = std::size(steps) - 1;
    for (size_t i = 0; i < std::size(steps); ++i) {
        if (i == scanner_down)
            scanner.reset();
        std::string reply = daemon.exchange(steps[i].request);
        EXPECT_EQ(reply.rfind(steps[i].reply_start, 0), 0u) << reply;
    }

    std::vector<std::string> lines = access_lines();
    ASSERT_EQ(lines.size(), std::size(steps)) << daemon_harness::read_file(access_log_path());
    const std::regex time_field(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    uint64_t received = 0, sent = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        std::vector<std::string> f = split(lines[i], ' ');
        ASSERT_EQ(f.size(), 12u);
        const expected_line& e = steps[i].line;
        EXPECT_TRUE(std::regex_match(f[0], time_field));
        EXPECT_EQ(f[1], "127.0.0.1");
        std::vector<std::string> want = {e.method, e.service, e.status, e.url};
        EXPECT_EQ(std::vector<std::string>(f.begin() + 2, f.begin() + 6), want);
        if (e.received) {
            EXPECT_EQ(f[6], e.received);
        }
        if (e.sent) {
            EXPECT_EQ(f[7], e.sent);
        }
        EXPECT_EQ(f[8], e.decision);
        EXPECT_EQ(f[9], e.threats);
        EXPECT_LE(std::stoull(f[10]), std::stoull(f[11]));   // scan time within the total
        received += std::stoull(f[6]);
        sent += std::stoull(f[7]);
    }

    std::map<std::string, std::string> m = metrics();
    const std::map<std::string, std::string> want = {
        {R"(vorex_icap_requests_total{method="OPTIONS"})", "1"},
        {R"(vorex_icap_requests_total{method="REQMOD"})", "2"},
        {R"(vorex_icap_requests_total{method="RESPMOD"})", "5"},
        {R"(vorex_icap_requests_total{method="other"})", "1"},
        {R"(vorex_icap_replies_total{status="200"})", "7"},
        {R"(vorex_icap_replies_total{status="204"})", "1"},
        {R"(vorex_icap_replies_total{status="400"})", "1"},
        {R"(vorex_decisions_total{decision="pass"})", "1"},
        {R"(vorex_decisions_total{decision="204"})", "1"},
        {R"(vorex_decisions_total{decision="block-host"})", "1"},
        {R"(vorex_decisions_total{decision="block-category:porno"})", "1"},
        {R"(vorex_decisions_total{decision="block-category:chats"})", "0"},
        {R"(vorex_decisions_total{decision="block-mime"})", "1"},
        {R"(vorex_decisions_total{decision="virus:cure"})", "1"},
        {R"(vorex_decisions_total{decision="virus:report"})", "0"},
        {R"(vorex_decisions_total{decision="scan-error"})", "1"},
        {R"(vorex_decisions_total{decision="error"})", "1"},
        {R"(vorex_threats_total{action="cure"})", "1"},
        {R"(vorex_threats_total{action="report"})", "0"},
        {"vorex_scan_errors_total", "1"},
        {"vorex_scan_duration_seconds_count", "4"},
        {R"(vorex_scan_duration_seconds_bucket{le="+Inf"})", "4"},
        {R"(vorex_request_duration_seconds_count{method="RESPMOD"})", "5"},
        {"vorex_body_bytes_received_total", std::to_string(received)},
        {"vorex_body_bytes_sent_total", std::to_string(sent)},
        {"vorex_connections_accepted_total", std::to_string(std::size(steps))},
        {R"(vorex_reloads_total{result="ok"})", "0"},
        {R"(vorex_uwl_files_loaded{category="porno"})", "1"},
        {R"(vorex_uwl_files_loaded{category="malware"})", "0"},
        {R"(vorex_build_info{version="6.0.0.2"})", "1"},
        {"vorex_workers_max", "256"},
    };
    for (const auto& [name, value] : want)
        EXPECT_EQ(m[name], value) << name;
    // The worker of the last connection goes back to waiting for the next.
    EXPECT_TRUE(wait_until([&] { return metrics()[R"(vorex_workers{state="busy"})"] == "0"; }));

    // A kept connection waits in the keeper between requests; its next
    // request is a hand-off to a worker, whose wait is observed.
    int kept = daemon.connect();
    ASSERT_TRUE(daemon_harness::send_all(kept, options));
    ASSERT_EQ(daemon_harness::read_until(kept, "\r\n\r\n").rfind("ICAP/1.0 200 OK", 0), 0u);
    EXPECT_TRUE(wait_until([&] { return metrics()[R"(vorex_connections{state="idle"})"] == "1"; }));
    const std::string handoffs = metrics()["vorex_connection_handoffs_total"];
    ASSERT_TRUE(daemon_harness::send_all(kept, options));
    ASSERT_EQ(daemon_harness::read_until(kept, "\r\n\r\n").rfind("ICAP/1.0 200 OK", 0), 0u);
    const std::string one_more = std::to_string(std::stoul(handoffs) + 1);
    EXPECT_TRUE(wait_until([&] {
        m = metrics();
        return m["vorex_connection_handoffs_total"] == one_more && m["vorex_connection_wait_seconds_count"] == one_more;
    })) << m["vorex_connection_handoffs_total"] << " " << m["vorex_connection_wait_seconds_count"];
    EXPECT_EQ(m["vorex_connections_refused_total"], "0");
    close(kept);
    EXPECT_TRUE(wait_until([&] { return metrics()[R"(vorex_connections{state="idle"})"] == "0"; }));
}

TEST_F(monitoring, counters_survive_a_killed_worker_and_a_reload_that_reopens_the_log) {
    start(false, "SpareWorkers = 0\n");   // the connection's worker is the one new child
    // A worker killed in the middle of a request keeps what it counted
    // before.
    const std::vector<pid_t> before = daemon.children();   // the metrics process
    int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(daemon_harness::send_all(fd, options));
    ASSERT_EQ(daemon_harness::read_until(fd, "\r\n\r\n").rfind("ICAP/1.0 200 OK", 0), 0u);
    ASSERT_TRUE(wait_until([&] { return access_lines().size() == 1; }));   // counted after the reply
    ASSERT_TRUE(wait_until([&] { return daemon.children() == before; }))  // idle: its worker ended
        << daemon.children().size() << " " << before.size() << daemon.log();
    const std::string http = "POST http://www.example.org/ HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
    ASSERT_TRUE(daemon_harness::send_all(fd, "REQMOD icap://h/s ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=" +
                                                 std::to_string(http.size()) + "\r\n\r\n" + http + "4\r\nab"));
    // The worker that reads its body: the pid of the log line of its first
    // chunk.
    pid_t worker = -1;
    ASSERT_TRUE(wait_until([&] {
        std::string log = daemon.log();
        size_t at = log.find("chunk header - '4");
        size_t open = at == std::string::npos ? at : log.rfind(" (", at);
        if (open != std::string::npos)
            worker = atoi(log.c_str() + open + 2);
        return worker > 0;
    })) << daemon.log();
    kill(worker, SIGKILL);
    EXPECT_TRUE(wait_until([&] { return kill(worker, 0) != 0; }));
    close(fd);

    const std::string options_count = R"(vorex_icap_requests_total{method="OPTIONS"})";
    EXPECT_EQ(metrics()[options_count], "1");
    EXPECT_TRUE(wait_until([&] { return metrics()["vorex_worker_restarts_total"] == "1"; }));

    // Rotation: the old file is renamed, the reload opens a new one.
    std::filesystem::rename(access_log_path(), access_log_path() + ".1");
    daemon.signal(SIGHUP);
    ASSERT_TRUE(wait_until([&] { return metrics()[R"(vorex_reloads_total{result="ok"})"] == "1"; }));
    EXPECT_EQ(daemon.exchange(reqmod("www.example.org", "/")).rfind("ICAP/1.0 200 OK", 0), 0u);
    std::map<std::string, std::string> m = metrics();
    EXPECT_EQ(m[options_count], "1");
    EXPECT_EQ(m[R"(vorex_icap_requests_total{method="REQMOD"})"], "1");
    EXPECT_EQ(split(daemon_harness::read_file(access_log_path() + ".1"), '\n').size(), 1u);
    std::vector<std::string> lines = access_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" REQMOD /reqmod 200 www.example.org/ 0 0 pass - "), std::string::npos) << lines[0];
}

// A reload whose access log or metrics address cannot be opened fails and
// keeps both; a metrics process that dies is replaced within about a second.
TEST_F(monitoring, unopenable_log_or_endpoint_fails_the_reload_and_a_dead_endpoint_returns) {
    start(false, "SpareWorkers = 0\n");
    const std::vector<pid_t> metrics_process = daemon.children();
    ASSERT_EQ(metrics_process.size(), 1u);
    int taken = socket(AF_INET, SOCK_STREAM, 0);   // holds the port the second case asks for
    int taken_port = daemon_harness::free_port();
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(taken_port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    const std::string rest = "BlackHosts = " + daemon.path("black") + "\nSpareWorkers = 0\n";
    const struct {
        const char* name;
        std::string settings;
        const char* logged;
    } bad[] = {
        {"access log in a missing folder",
         "AccessLog = " + daemon.path("missing") + "/access.log\nMetricsAddress = inet:" +
             std::to_string(metrics_port) + "@127.0.0.1\n",
         "failed to open access log"},
        {"metrics address in use",
         "AccessLog = " + access_log_path() + "\nMetricsAddress = inet:" + std::to_string(taken_port) + "@127.0.0.1\n",
         "failed to open MetricsAddress"},
    };
    int failed = 0;
    for (const auto& c : bad) {
        daemon.write_config(c.settings + rest);
        daemon.signal(SIGHUP);
        ++failed;
        ASSERT_TRUE(wait_until([&] {
            return metrics()[R"(vorex_reloads_total{result="failed"})"] == std::to_string(failed);
        })) << c.name;
        EXPECT_NE(daemon.log().find(c.logged), std::string::npos) << c.name;
        EXPECT_EQ(daemon.exchange(options).rfind("ICAP/1.0 200 OK", 0), 0u) << c.name;
        EXPECT_TRUE(wait_until([&] { return access_lines().size() == static_cast<size_t>(failed); })) << c.name;
    }
    close(taken);
    EXPECT_EQ(metrics()[R"(vorex_reloads_total{result="ok"})"], "0");

    kill(metrics_process[0], SIGKILL);
    EXPECT_TRUE(wait_until([&] { return kill(metrics_process[0], 0) != 0; }));
    EXPECT_TRUE(wait_until([&] { return metrics()[R"(vorex_reloads_total{result="failed"})"] == "2"; }));
    EXPECT_NE(daemon.log().find("the metrics process ended: starting a new one"), std::string::npos);
}

// A body the full Cache folder cannot take gets the error reply as before;
// the log says why, once, and the metrics count it.
TEST_F(monitoring, full_cache_folder_is_logged_once_and_counted) {
    const std::string cache = daemon.path("cache");
    std::filesystem::create_directories(cache);
    if (mount("tmpfs", cache.c_str(), "tmpfs", 0, "size=128k") != 0)
        GTEST_SKIP() << "a small tmpfs cannot be mounted on the Cache folder here: " << strerror(errno);
    struct unmount_at_end {
        std::string path;
        ~unmount_at_end() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{cache};
    start(false);

    std::string reply = daemon.exchange(respmod(std::string(400 * 1024, 'a'), "text/plain", false));
    EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Encapsulated: null-body=0"), std::string::npos) << reply;
    const std::string reason = "cannot write a body to the Cache folder " + cache + "/: No space left on device";
    EXPECT_TRUE(wait_until([&] { return metrics()["vorex_cache_write_failures_total"] == "1"; }));
    std::string log = daemon.log();
    EXPECT_EQ(log.find(reason), log.rfind(reason)) << "logged more than once";
    EXPECT_NE(log.find(reason), std::string::npos) << log;
    EXPECT_EQ(std::filesystem::directory_iterator(cache), std::filesystem::directory_iterator());

    // The space is free again: the next body passes.
    std::string small = daemon.exchange(respmod(std::string(100 * 1024, 'b'), "text/plain", false));
    EXPECT_EQ(small.rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_EQ(small.find("null-body=0"), std::string::npos) << small.substr(0, 300);
    EXPECT_EQ(metrics()["vorex_cache_write_failures_total"], "1");
}

// A reload follows a new MetricsAddress; the new metrics process holds no
// end of the keep-alive pipe, so the next reload still ends idle workers.
TEST_F(monitoring, reload_moves_the_endpoint_and_idle_workers_still_end_on_the_next) {
    start(false);
    int old_port = metrics_port;
    metrics_port = daemon_harness::free_port();
    write_config();
    daemon.signal(SIGHUP);
    ASSERT_TRUE(wait_until([&] { return metrics()[R"(vorex_reloads_total{result="ok"})"] == "1"; }));
    EXPECT_TRUE(wait_until([&] {
        int fd = connect_to(old_port);
        if (fd >= 0)
            close(fd);
        return fd < 0;
    }));

    int idle = daemon.connect();
    ASSERT_GE(idle, 0);
    ASSERT_TRUE(daemon_harness::send_all(idle, options));
    ASSERT_EQ(daemon_harness::read_until(idle, "\r\n\r\n").rfind("ICAP/1.0 200 OK", 0), 0u);
    const std::vector<pid_t> before = daemon.children();  // idle workers and the metrics process
    daemon.signal(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return metrics()[R"(vorex_reloads_total{result="ok"})"] == "2"; }));
    EXPECT_TRUE(wait_until([&] {
        size_t left = 0;
        for (pid_t pid : before)
            left += kill(pid, 0) == 0;
        return left == 1;  // the metrics process, at the same address
    })) << "an idle worker still waits after the reload";
    ASSERT_TRUE(daemon_harness::send_all(idle, options));
    EXPECT_EQ(daemon_harness::read_until(idle, "\r\n\r\n").rfind("ICAP/1.0 200 OK", 0), 0u);
    close(idle);
}

TEST_F(monitoring, scraped_text_passes_promtool_and_status_renders_in_chromium) {
    start(true);
    daemon.exchange(options);
    daemon.exchange(respmod("head " + eicar() + " tail", "application/octet-stream", true));
    daemon.exchange(reqmod("black.example", "/"));

    if (!have("promtool")) {
        ADD_FAILURE() << "promtool (Debian package prometheus) is missing";
    } else {
        std::string text = body_of(http(metrics_port, "GET /metrics HTTP/1.0\r\n\r\n"));
        std::string file = daemon.path("scraped.txt");
        daemon_harness::write_file(file, text);
        auto [status, output] = shell("promtool check metrics < " + file);
        EXPECT_EQ(status, 0) << output << text;
        EXPECT_EQ(output, "") << text;
    }

    if (!have("chromium")) {
        ADD_FAILURE() << "chromium is missing";
        return;
    }
    std::string artifacts = VRX_BINARY_DIR "/test-artifacts";
    std::filesystem::create_directories(artifacts);
    std::string screenshot = artifacts + "/status-page.png";
    std::filesystem::remove(screenshot);
    std::filesystem::create_directories(daemon.path("chromium-profile"));
    std::string browser = "timeout 120 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic "
                          "--no-first-run --disable-background-networking --disable-component-update "
                          "--disable-sync --user-data-dir=" + daemon.path("chromium-profile") + " ";
    std::string url = "http://127.0.0.1:" + std::to_string(metrics_port) + "/status";
    auto [shot_status, shot_output] = shell(browser + "--window-size=900,1400 --screenshot=" + screenshot + " " + url);
    EXPECT_EQ(shot_status, 0) << shot_output;
    EXPECT_GT(std::filesystem::exists(screenshot) ? std::filesystem::file_size(screenshot) : 0, 10000u);
    auto [dom_status, dom] = shell(browser + "--dump-dom " + url + " 2>/dev/null");
    EXPECT_EQ(dom_status, 0);
    for (const char* figure : {"<h1>vorex-icapd 6.0.0.2</h1>", "<th>block-host</th><td>1</td>",
                               "<th>threats, cure</th><td>1</td>", "<th>OPTIONS</th><td>1 (mean"})
        EXPECT_NE(dom.find(figure), std::string::npos) << figure << "\n" << dom;
}

TEST_F(monitoring, slow_and_malformed_metrics_clients_are_dropped_without_delaying_icap) {
    start(false);
    // More silent clients than the endpoint serves at once, and a few that
    // send half a request or garbage.
    std::vector<int> silent, partial, garbage;
    for (int i = 0; i < 80; ++i)
        silent.push_back(connect_to(metrics_port));
    for (int i = 0; i < 4; ++i) {
        partial.push_back(connect_to(metrics_port));
        daemon_harness::send_all(partial.back(), "GET /metr");
        garbage.push_back(connect_to(metrics_port));
        daemon_harness::send_all(garbage.back(), "HELLO THERE\r\n\r\n");
    }
    // ICAP is served meanwhile, by other processes.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(daemon.exchange(options, 2000).rfind("ICAP/1.0 200 OK", 0), 0u);
    // Each is closed without a reply, within a second of its arrival (the
    // silent ones beyond the first 64 a second later).
    for (std::vector<int>* group : {&garbage, &partial, &silent}) {
        for (int fd : *group) {
            ASSERT_GE(fd, 0);
            EXPECT_EQ(daemon_harness::read_until(fd, "", 4000), "");
            struct pollfd wait = {fd, POLLIN, 0};
            EXPECT_EQ(poll(&wait, 1, 0), 1);   // ended, not timed out
            close(fd);
        }
    }
    struct {
        const char* request;
        const char* status_line;
    } requests[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
        {"GET /status HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
    };
    for (const auto& r : requests)
        EXPECT_EQ(http(metrics_port, r.request).rfind(r.status_line, 0), 0u) << r.request;
}

// Lines up to a few kilobytes from 16 workers at once: every line whole,
// every request once.
TEST_F(monitoring, concurrent_workers_never_break_a_line) {
    start(false);
    constexpr int clients = 16, requests = 10000, batch = 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            int fd = daemon.connect();
            if (fd < 0) {
                ++failures;
                return;
            }
            for (int first = 0; first < requests; first += batch) {
                std::string bytes;
                for (int n = first; n < first + batch; ++n)
                    bytes += reqmod("c" + std::to_string(c) + ".example",
                                    "/" + std::to_string(n) + "/" + std::string(n % 3000, 'x'));
                if (!daemon_harness::send_all(fd, bytes)) {
                    ++failures;
                    break;
                }
                // Each reply is an ICAP head and the echoed HTTP header.
                std::string replies;
                size_t ends = 0, scanned = 0;
                while (ends < 2 * batch) {
                    std::string more = daemon_harness::read_until(fd, "\r\n\r\n", 20000);
                    if (more.empty())
                        break;
                    replies += more;
                    for (size_t at; (at = replies.find("\r\n\r\n", scanned)) != std::string::npos; scanned = at + 4)
                        ++ends;
                }
                if (ends != 2 * batch) {
                    ++failures;
                    break;
                }
            }
            close(fd);
        });
    }
    for (std::thread& t : threads)
        t.join();
    ASSERT_EQ(failures.load(), 0);

    const std::regex line_form(R"(\S+ 127\.0\.0\.1 REQMOD /reqmod 200 c(\d+)\.example/(\d+)/(x*) 0 0 pass - \d+ \d+)");
    std::set<std::pair<int, int>> seen;
    std::vector<std::string> lines = access_lines();
    EXPECT_EQ(lines.size(), static_cast<size_t>(clients * requests));
    size_t broken = 0;
    for (const std::string& line : lines) {
        std::smatch m;
        int number = -1;
        if (std::regex_match(line, m, line_form)) {
            number = std::stoi(m[2].str());
            if (m[3].length() != number % 3000)
                number = -1;
        }
        if (number < 0) {
            if (++broken < 3)
                ADD_FAILURE() << "broken line: " << line.substr(0, 300);
            continue;
        }
        seen.insert({std::stoi(m[1].str()), number});
    }
    EXPECT_EQ(broken, 0u);
    EXPECT_EQ(seen.size(), static_cast<size_t>(clients * requests));
}

}  // namespace

namespace {

// Reads until `count` header blocks ended; false on a time-out.
bool read_blocks(int fd, size_t count) {
    std::string replies;
    size_t ends = 0, scanned = 0;
    while (ends < count) {
        std::string more = daemon_harness::read_until(fd, "\r\n\r\n", 10000);
        if (more.empty())
            return false;
        replies += more;
        for (size_t at; (at = replies.find("\r\n\r\n", scanned)) != std::string::npos; scanned = at + 4)
            ++ends;
    }
    return true;
}

}  // namespace

// A worker holds its lines while it reads the next request; each way it
// ends writes them: the Timeout alarm, a second SIGTERM, a SIGTERM
// that lets it finish the request in hand.
TEST_F(monitoring, a_worker_that_ends_writes_the_lines_it_holds) {
    const std::string post = "POST /form HTTP/1.1\r\nHost: held.example\r\n\r\n";
    const std::string unfinished = "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nEncapsulated: req-hdr=0, req-body=" +
                                   std::to_string(post.size()) + "\r\n\r\n" + post + "4\r\nab";
    const std::string request_tail = "cd\r\n0\r\n\r\n";
    struct ending {
        const char* name;
        const char* settings;
        void (*end)(pid_t worker, int fd, const std::string& tail);
        size_t lines;
    } endings[] = {
        {"Timeout alarm", "Timeout = 1\n", [](pid_t, int, const std::string&) {}, 5},
        {"second SIGTERM", "",
         [](pid_t worker, int, const std::string&) {
             kill(worker, SIGTERM);
             usleep(100000);
             kill(worker, SIGTERM);
         },
         5},
        {"SIGTERM, request finished", "",
         [](pid_t worker, int fd, const std::string& tail) {
             kill(worker, SIGTERM);
             usleep(100000);
             daemon_harness::send_all(fd, tail);
         },
         6},
    };
    for (const ending& e : endings) {
        SCOPED_TRACE(e.name);
        start(false, std::string("SpareWorkers = 0\n") + e.settings);
        int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        std::string bytes;
        for (int n = 0; n < 5; ++n)
            bytes += reqmod("held.example", "/" + std::to_string(n));
        // The next request, its body unfinished: the worker reads on rather
        // than waits.
        bytes += unfinished;
        ASSERT_TRUE(daemon_harness::send_all(fd, bytes));
        ASSERT_TRUE(read_blocks(fd, 10));
        // The worker serving the connection is the one whose log shows its
        // heads: the pool may have started another one meanwhile. The fifth
        // reply is out before it reads on; a SIGTERM sent before it reads
        // the sixth head would end it before that request.
        const std::regex head_read(R"(\((\d+)\): DEBUG icap header - 'REQMOD )");
        pid_t worker = -1;
        ASSERT_TRUE(wait_until([&] {
            const std::vector<pid_t> children = daemon.children();
            const std::string log = daemon.log();
            std::map<pid_t, size_t> heads;
            for (std::sregex_iterator at(log.begin(), log.end(), head_read), end; at != end; ++at) {
                pid_t pid = std::stoi((*at)[1].str());
                if (++heads[pid] == 6 && std::find(children.begin(), children.end(), pid) != children.end())
                    worker = pid;
            }
            return worker > 0;
        })) << daemon.log();
        e.end(worker, fd, request_tail);
        EXPECT_TRUE(wait_until([&] { return kill(worker, 0) != 0; }, 10000)) << daemon.log();
        close(fd);
        EXPECT_TRUE(wait_until([&] { return access_lines().size() == e.lines; }));
        std::vector<std::string> lines = access_lines();
        EXPECT_EQ(lines.size(), e.lines) << daemon_harness::read_file(access_log_path()) << daemon.log();
        for (size_t n = 0; n < 5 && n < lines.size(); ++n)
            EXPECT_NE(lines[n].find(" REQMOD /reqmod 200 held.example/" + std::to_string(n) + " "), std::string::npos)
                << lines[n];
        daemon.stop();
        std::filesystem::remove(access_log_path());
    }
}
