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
        std::string settings = "AccessLog = " + access_log_path() + "\nMetricsAddress = inet:" +
                               std::to_string(metrics_port) + "@127.0.0.1\nBlackHosts = " + daemon.path("black") +
                               "\nMimeStart\nimage reject -report all\nMimeEnd\n" + extra;
        if (with_scanner) {
            scanner = std::make_unique<standin_process>(daemon.dir(), std::vector<std::string>{});
            ASSERT_TRUE(scanner->ready());
            settings += "VorexAddress = " + scanner->local_address() + "\n";
        }
        daemon.write_config(settings);
        ASSERT_TRUE(daemon.start()) << daemon.log();
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
        {reqmod("bad.example", "/a%20b"), "ICAP/1.0 200 OK",
         {"REQMOD", "/reqmod", "200", "bad.example/a%20b", "0", nullptr, "block-category:porno", "-"}},
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
    };
    for (const auto& [name, value] : want)
        EXPECT_EQ(m[name], value) << name;
}

TEST_F(monitoring, counters_survive_a_killed_worker_and_a_reload_that_reopens_the_log) {
    start(false);
    // A worker killed while it holds its connection keeps what it counted.
    const std::vector<pid_t> before = daemon.children();   // the metrics process
    int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(daemon_harness::send_all(fd, options));
    ASSERT_EQ(daemon_harness::read_until(fd, "\r\n\r\n").rfind("ICAP/1.0 200 OK", 0), 0u);
    pid_t worker = -1;
    for (pid_t child : daemon.children())
        if (std::find(before.begin(), before.end(), child) == before.end())
            worker = child;
    ASSERT_GT(worker, 0);
    kill(worker, SIGKILL);
    EXPECT_TRUE(wait_until([&] { return kill(worker, 0) != 0; }));
    close(fd);

    const std::string options_count = R"(vorex_icap_requests_total{method="OPTIONS"})";
    EXPECT_EQ(metrics()[options_count], "1");

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

}  // namespace
