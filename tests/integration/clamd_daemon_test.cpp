// The daemon with a private clamd: verdicts of every name class, the
// transports (descriptor and stream, local socket and TCP), clamd's limits,
// clamd going away and coming back, and the ISTAG following its database.

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "integration/daemon_harness.h"
#include "scan/engine_version.h"
#include "support/clamd_launch.h"

namespace {

using namespace clamd_sample;

std::string chunk(const std::string& data)
{
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

// An ICAP request with its HTTP header; the body follows as chunks.
struct icap_message {
    std::string head;   // ICAP head and HTTP header(s)
    std::string body;
};

icap_message make_message(const std::string& method, const std::string& body, int preview)
{
    const std::string req_hdr = method == "RESPMOD"
        ? "GET /dir/file.bin HTTP/1.1\r\nHost: www.example.org\r\n\r\n"
        : "POST /upload/file.bin HTTP/1.1\r\nHost: www.example.org\r\nContent-Length: "
              + std::to_string(body.size()) + "\r\n\r\n";
    const std::string res_hdr = method == "RESPMOD"
        ? "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
              + std::to_string(body.size()) + "\r\n\r\n"
        : "";
    std::string encapsulated = "req-hdr=0, ";
    if (method == "RESPMOD")
        encapsulated += "res-hdr=" + std::to_string(req_hdr.size()) + ", res-body=";
    else
        encapsulated += "req-body=";
    encapsulated += std::to_string(req_hdr.size() + res_hdr.size());
    std::string head = method + " icap://127.0.0.1/x ICAP/1.0\r\nHost: 127.0.0.1\r\nAllow: 204\r\n";
    if (preview >= 0)
        head += "Preview: " + std::to_string(preview) + "\r\n";
    head += "Encapsulated: " + encapsulated + "\r\n\r\n";
    return {head + req_hdr + res_hdr, body};
}

// Sends the message on an open connection and reads the whole reply: up to
// the end of its body, or of its head for 204. With a preview the first
// bytes go first and the rest after "100 Continue".
std::string send_message(int fd, const icap_message& m, int preview = -1)
{
    std::string first = preview >= 0 ? m.body.substr(0, static_cast<size_t>(preview)) : m.body;
    if (!daemon_harness::send_all(fd, m.head + chunk(first) + "0\r\n\r\n"))
        return "";
    if (preview >= 0) {
        std::string cont = daemon_harness::read_until(fd, "\r\n\r\n", 20000);
        if (cont.rfind("ICAP/1.0 100 Continue\r\n", 0) != 0)
            return cont;
        if (!daemon_harness::send_all(fd, chunk(m.body.substr(static_cast<size_t>(preview))) + "0\r\n\r\n"))
            return "";
    }
    // The first read may already hold more than the head.
    const std::string last_chunk = "\r\n0\r\n\r\n";
    std::string head = daemon_harness::read_until(fd, "\r\n\r\n", 20000);
    if (head.rfind("ICAP/1.0 204", 0) == 0 || head.find("null-body=") != std::string::npos
        || (head.size() >= last_chunk.size() && head.compare(head.size() - last_chunk.size(), last_chunk.size(), last_chunk) == 0))
        return head;
    return head + daemon_harness::read_until(fd, last_chunk, 20000);
}

std::string threat_headers(const std::string& name, int type, int resolution)
{
    return "\r\nX-Virus-ID: " + name + "\r\nX-Infection-Found: Type=" + std::to_string(type)
           + "; Resolution=" + std::to_string(resolution) + "; Threat=" + name + ";";
}

const std::string options = "OPTIONS icap://127.0.0.1/x ICAP/1.0\r\n\r\n";

class clamd_daemon : public ::testing::Test {
protected:
    clamd_process clamd{42};
    daemon_harness daemon;

    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(clamd.start());
    }
    void TearDown() override
    {
        daemon.stop();
        // Every body file went with its request.
        if (std::filesystem::exists(daemon.path("cache"))) {
            EXPECT_TRUE(std::filesystem::is_empty(daemon.path("cache")));
        }
    }
    void start(const std::string& address, const std::string& settings = "")
    {
        daemon.stop();
        daemon.write_config("[Scanning]\nClamdAddress = " + address + "\n" + settings);
        ASSERT_TRUE(daemon.start()) << daemon.log();
    }
    std::string exchange(const icap_message& m, int preview = -1)
    {
        int fd = daemon.connect();
        std::string reply = fd >= 0 ? send_message(fd, m, preview) : "";
        if (fd >= 0)
            close(fd);
        return reply;
    }
};

TEST_F(clamd_daemon, eicar_blocked_over_every_transport)
{
    const std::string large(100 * 1024, 'a');   // over what stays in memory: a body file
    const struct {
        const char* address;
        const char* settings;
    } transports[] = {
        {"local", ""},                    // FILDES for files, INSTREAM from memory
        {"local", "ClamdStream = yes\n"},
        {"inet", ""},
    };
    const struct {
        std::string body;
        const char* name;
    } bodies[] = {
        {eicar(), eicar_hash_name},
        {"head " + eicar() + " tail", eicar_body_name},
        {large + eicar() + large, eicar_body_name},
    };
    for (const auto& t : transports) {
        start(std::string(t.address) == "local" ? clamd.local_address() : clamd.inet_address(), t.settings);
        for (const auto& b : bodies) {
            for (const char* method : {"RESPMOD", "REQMOD"}) {
                for (int preview : {-1, 4}) {
                    SCOPED_TRACE(std::string(t.address) + " " + t.settings + method + " preview "
                                 + std::to_string(preview) + " size " + std::to_string(b.body.size()));
                    std::string reply = exchange(make_message(method, b.body, preview), preview);
                    EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << reply;
                    EXPECT_NE(reply.find(threat_headers(b.name, 0, 0)), std::string::npos) << reply;
                    EXPECT_NE(reply.find("<title>Access denied</title>"), std::string::npos);
                    // The page shows clamd's answer and its version.
                    EXPECT_NE(reply.find(std::string(b.name) + " FOUND"), std::string::npos);
                    EXPECT_NE(reply.find("scanner ClamAV "), std::string::npos);
                    EXPECT_EQ(reply.find("EICAR-STANDARD"), std::string::npos);
                }
            }
        }
        EXPECT_EQ(exchange(make_message("RESPMOD", "nothing to see", -1)).rfind("ICAP/1.0 204", 0), 0u);
        EXPECT_EQ(exchange(make_message("RESPMOD", large, -1)).rfind("ICAP/1.0 204", 0), 0u);
    }
}

TEST_F(clamd_daemon, each_name_class_reaches_its_action)
{
    // Every class reports, so each reaches its own row: the row's reason is
    // logged and its template chosen.
    start(clamd.local_address(),
          "[Actions]\nRiskware = report\nHacktools = report\nSkipObject = report\n");
    const std::string over_file_limit(max_file_size + 1024, 'b');
    const struct {
        std::string body;
        std::string name;
        const char* reason;
        const char* title;
        int type_and_resolution;
    } cases[] = {
        {std::string("x ") + virus.text, virus.name, "File is infected and cannot be cured!",
         "Access denied", 0},
        {std::string("x ") + suspicious.text, suspicious.name, "File is cured from an unknown virus!",
         "Access denied", 0},
        {std::string("x ") + encrypted.text, encrypted.name, "Archive restriction!",
         "Content could not be checked", 2},
        {std::string("x ") + adware.text, adware.name, "This is adware program!", "Access denied", 0},
        {std::string("x ") + hacktool.text, hacktool.name, "This is hacktool program!", "Access denied", 0},
        {std::string("x ") + riskware.text, riskware.name, "This is riskware program!", "Access denied", 0},
        {over_file_limit, "Heuristics.Limits.Exceeded.MaxFileSize",
         "Skip object error has occured during check of this file!", "Content could not be checked", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reply = exchange(make_message("RESPMOD", c.body, -1));
        EXPECT_NE(reply.find(threat_headers(c.name, c.type_and_resolution, c.type_and_resolution)),
                  std::string::npos) << reply.substr(0, 600);
        EXPECT_NE(reply.find(std::string("<title>") + c.title + "</title>"), std::string::npos);
        EXPECT_NE(daemon.log().find(std::string(c.reason) + ": report"), std::string::npos);
    }
}

TEST_F(clamd_daemon, stream_over_the_size_limit_is_a_skipped_object)
{
    const std::string over_stream_limit(stream_max_length + 512 * 1024, 'c');
    for (const std::string& address : {clamd.inet_address(), clamd.local_address()}) {
        SCOPED_TRACE(address);
        start(address, "ClamdStream = yes\n[Actions]\nSkipObject = report\n");
        std::string reply = exchange(make_message("RESPMOD", over_stream_limit, -1));
        EXPECT_NE(reply.find("<title>Content could not be checked</title>"), std::string::npos)
            << reply.substr(0, 600);
        EXPECT_NE(reply.find(" size limit exceeded. ERROR"), std::string::npos);
        EXPECT_NE(daemon.log().find("Skip object error has occured during check of this file!: report"),
                  std::string::npos);
        // The default action passes it unchanged.
        start(address, "ClamdStream = yes\n");
        reply = exchange(make_message("RESPMOD", over_stream_limit, -1));
        EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
        EXPECT_NE(reply.find(over_stream_limit.substr(0, 1000)), std::string::npos);
    }
}

// EICAR at the start and after padding, on the local socket (descriptor)
// and over TCP (stream), with Debian's limits and with small ones. Found
// within the limits; over them the body is a skipped object, which
// SkipObject = report blocks and the default passes unscanned.
TEST_F(clamd_daemon, eicar_over_and_under_the_size_limits)
{
    clamd_process debian(42, debian_limits);
    ASSERT_TRUE(debian.start());
    const size_t mib = 1024 * 1024;
    const struct {
        const char* name;
        clamd_process& engine;
        size_t padding;
        bool found;
    } cases[] = {
        {"debian, at the start", debian, 0, true},
        {"debian, after 3.5 MiB", debian, 7 * mib / 2, true},
        {"debian, after 30 MiB", debian, 30 * mib, false},
        {"small, at the start", clamd, 0, true},
        {"small, after 3.5 MiB", clamd, 7 * mib / 2, false},
        {"small, after 30 MiB", clamd, 30 * mib, false},
    };
    for (const auto& c : cases) {
        const std::string body = std::string(c.padding, 'p') + "\n" + eicar();
        for (bool tcp : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (tcp ? ", tcp" : ", local"));
            const std::string address = tcp ? c.engine.inet_address() : c.engine.local_address();
            start(address, "[Actions]\nSkipObject = report\n");
            std::string reply = exchange(make_message("RESPMOD", body, -1));
            EXPECT_NE(reply.find(c.found ? "<title>Access denied</title>" : "<title>Content could not be checked</title>"),
                      std::string::npos) << reply.substr(0, 600);
            EXPECT_EQ(reply.find(eicar()), std::string::npos);
            if (c.found)
                continue;
            start(address);
            reply = exchange(make_message("RESPMOD", body, -1));
            EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
            EXPECT_NE(reply.find(eicar()), std::string::npos) << "the default passes a skipped object unscanned";
        }
    }
}

TEST_F(clamd_daemon, incurable_actions)
{
    std::filesystem::create_directories(daemon.path("q"));
    const std::string body = "sample " + eicar();
    const struct {
        std::string settings;
        std::string reason_and_word;
        const char* expect;   // in the reply
    } cases[] = {
        // clamd cannot cure: the default "Infected = cure" falls to Incurable.
        {"", "File is infected and cannot be cured!: report", "<title>Access denied</title>"},
        {"Infected = report\nIncurable = truncate\n", "File is infected and cannot be cured!: truncate",
         "Content-Length: 0\r\n"},
        {"Incurable = move\nPathToQuarantine = " + daemon.path("q") + "\n",
         "File is infected and cannot be cured!: quarantine to file " + daemon.path("q"),
         "<title>Access denied: content quarantined</title>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        start(clamd.local_address(), "[Actions]\n" + c.settings);
        std::string reply = exchange(make_message("RESPMOD", body, -1));
        EXPECT_NE(reply.find(c.expect), std::string::npos) << reply;
        EXPECT_EQ(reply.find(eicar()), std::string::npos);
        EXPECT_NE(daemon.log().find(c.reason_and_word), std::string::npos);
    }
    EXPECT_EQ(daemon_harness::read_file(daemon.path("q") + "/www.example.org|dir|file.bin"), body);
}

TEST_F(clamd_daemon, clamd_going_away_fails_closed_and_coming_back_resumes)
{
    start(clamd.local_address());
    const icap_message infected = make_message("RESPMOD", "head " + eicar() + " tail", -1);
    // One connection, so one worker and its one clamd session throughout.
    int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    EXPECT_NE(send_message(fd, infected).find("<title>Access denied</title>"), std::string::npos);

    clamd.stop();
    std::string reply = send_message(fd, infected);
    EXPECT_NE(reply.find("<title>Content could not be checked</title>"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("EICAR-STANDARD"), std::string::npos);
    ASSERT_TRUE(daemon_harness::send_all(fd, options));
    EXPECT_EQ(daemon_harness::read_until(fd, "\r\n\r\n").rfind("ICAP/1.0 200 OK\r\n", 0), 0u);

    ASSERT_TRUE(clamd.start());
    EXPECT_NE(send_message(fd, infected).find("<title>Access denied</title>"), std::string::npos);
    close(fd);
    EXPECT_TRUE(daemon.running());
}

TEST_F(clamd_daemon, istag_follows_the_database_version)
{
    start(clamd.inet_address());
    EXPECT_NE(daemon.exchange(options).find("\r\nISTAG: \"vorex-icapd6.0=42\"\r\n\r\n"), std::string::npos);
    ASSERT_TRUE(clamd.reload_database(43));
    // A worker asks clamd after a reply once the number is older than its
    // refresh age; OPTIONS itself never waits on clamd.
    std::string reply;
    EXPECT_TRUE(wait_until([&] {
        reply = daemon.exchange(options);
        return reply.find("\r\nISTAG: \"vorex-icapd6.0=43\"\r\n\r\n") != std::string::npos;
    }, static_cast<int>(engine_version_max_age + 15) * 1000)) << reply;
}

// A clamd that takes connections and never answers: start-up waits at most
// Timeout for it, and OPTIONS, also right after a reload, never waits.
TEST_F(clamd_daemon, silent_clamd_delays_neither_options_nor_a_reload)
{
    int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int port = daemon_harness::free_port();
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(silent, 64), 0);
    start("inet:" + std::to_string(port) + "@127.0.0.1", "[Daemon]\nTimeout = 3\n");
    // Well below Timeout: a reply that waited on clamd comes too late.
    constexpr int prompt_ms = 2000;
    // After the reload the worker that sent a reply asks clamd, which holds
    // that connection's next request: each request on a connection of its own.
    for (bool after_reload : {false, true}) {
        int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        for (int round = 0; round < 2; ++round) {
            if (after_reload && round > 0) {
                close(fd);
                fd = daemon.connect();
            }
            ASSERT_TRUE(daemon_harness::send_all(fd, options));
            std::string reply = daemon_harness::read_until(fd, "\r\n\r\n", prompt_ms);
            EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << after_reload << round << reply;
            EXPECT_NE(reply.find("\r\nISTAG: \"vorex-icapd6.0=0\"\r\n\r\n"), std::string::npos) << reply;
        }
        close(fd);
        if (!after_reload) {
            daemon.signal(SIGHUP);
            EXPECT_TRUE(wait_until([&] { return daemon.log().find("Received SIGHUP") != std::string::npos; }));
        }
    }
    EXPECT_TRUE(daemon.running());
    close(silent);
}

} // namespace
