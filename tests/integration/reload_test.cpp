// Reloads of the real daemon: one that fails keeps everything in force.

#include <csignal>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "integration/daemon_harness.h"
#include "uwl_writer.h"

namespace {

const std::string options_request = "OPTIONS icap://127.0.0.1/vorex ICAP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
const std::string istag_end = "\"\r\n\r\n";
const std::string stays_in_force = "Reload failed: the previous configuration stays in force\n";

std::string reqmod(const std::string& host)
{
    const std::string get = "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\nEncapsulated: req-hdr=0, null-body=" +
           std::to_string(get.size()) + "\r\n\r\n" + get;
}

bool is_block_page(const std::string& reply) { return reply.find("Access blocked") != std::string::npos; }

size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

size_t mapping_count(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    size_t n = 0;
    for (std::string line; std::getline(maps, line);)
        ++n;
    return n;
}

class reload_test : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_IGN); }

    // Sends SIGHUP and waits for the log to show the end of that reload.
    bool reload_and_wait(const std::string& line, size_t seen_before)
    {
        d.signal(SIGHUP);
        return wait_until([&] { return count_of(d.log(), line) > seen_before; }, 10000);
    }

    daemon_harness d;
};

// Every kind of bad configuration, 200 times: the daemon keeps serving with
// the configuration, lists, category files, log and keep-alive pipe it had,
// and leaks no descriptor or mapping; a good reload then still works.
TEST_F(reload_test, failed_reloads_keep_everything_in_force)
{
    uwl_source source;
    uwl_source_line(source, "type porno");
    uwl_source_line(source, "url listed.example");
    daemon_harness::write_file(d.path("uwl/p.uwl"), uwl_sign(uwl_layout(source), VRX_UWL_PRIVATE_KEY));
    daemon_harness::write_file(d.path("black"), "black.example\n");
    const std::string in_force =
        "[Log]\nLogLevel = 1\n[Daemon]\nSpareWorkers = 0\nUsePreview = no\nBlackHosts = " + d.path("black") + "\n";
    d.write_config(in_force);
    ASSERT_TRUE(d.start()) << d.log();

    int idle = d.connect();
    ASSERT_TRUE(daemon_harness::send_all(idle, options_request));
    ASSERT_EQ(daemon_harness::read_until(idle, istag_end).find("Preview:"), std::string::npos);

    const struct {
        const char* name;
        std::string extra;
        std::string logged;
    } bad[] = {
        {"text", "Timeout = not-a-number\n", "Error parsing digital_t"},
        {"host list", "WhiteHosts = " + d.path("missing") + "\n", "can not open file with hosts list"},
        {"MIME block", "MimeStart\n* reject all\nMimeEnd\n", "in parse mime type"},
        {"category folder", "UwlDirectory = " + d.path("missing") + "/\n", "Error in reading uwl files."},
        {"log file", "LogFile = " + d.path("missing") + "/log\n", "failed to open logfile"},
    };
    size_t failed = 0;
    for (const auto& c : bad) {
        d.write_config(in_force + c.extra);
        ASSERT_TRUE(reload_and_wait(stays_in_force, failed++)) << c.name;
        std::string log = d.log();
        EXPECT_NE(log.find("ERROR Error in vrxid_init(): "), std::string::npos);
        EXPECT_NE(log.find(c.logged), std::string::npos) << c.name;
    }
    const int descriptors = d.open_descriptors();
    const size_t mappings = mapping_count(d.pid());
    for (int i = 0; i < 200; ++i) {
        d.write_config(in_force + bad[i % 5].extra);
        ASSERT_TRUE(reload_and_wait(stays_in_force, failed++)) << i;
    }
    EXPECT_EQ(d.open_descriptors(), descriptors);
    EXPECT_EQ(mapping_count(d.pid()), mappings);
    EXPECT_EQ(d.children().size(), 0u);  // the idle connection waits in the keeper

    // The idle connection is still there, and everything answers as before.
    ASSERT_TRUE(daemon_harness::send_all(idle, options_request));
    EXPECT_EQ(daemon_harness::read_until(idle, istag_end).find("Preview:"), std::string::npos);
    EXPECT_EQ(d.exchange(options_request).find("Preview:"), std::string::npos);
    EXPECT_TRUE(is_block_page(d.exchange(reqmod("listed.example"))));
    EXPECT_TRUE(is_block_page(d.exchange(reqmod("black.example"))));

    d.write_config("[Log]\nLogLevel = 1\n[Daemon]\nSpareWorkers = 0\n");
    d.signal(SIGHUP);
    EXPECT_TRUE(wait_until([&] { return d.exchange(options_request).find("Preview: 0") != std::string::npos; }));
    // The idle connection's next request is served under the new settings.
    ASSERT_TRUE(daemon_harness::send_all(idle, options_request));
    EXPECT_NE(daemon_harness::read_until(idle, istag_end).find("Preview: 0"), std::string::npos);
    close(idle);
    EXPECT_FALSE(is_block_page(d.exchange(reqmod("black.example"))));
    EXPECT_TRUE(is_block_page(d.exchange(reqmod("listed.example"))));
    EXPECT_EQ(count_of(d.log(), stays_in_force), failed);
}

// The listening socket is opened once: a reload that changes BindPort or
// BindAddress says that it keeps the one it has, and it keeps serving there.
TEST_F(reload_test, changed_listening_address_is_kept_with_a_warning)
{
    d.write_config("[Log]\nLogLevel = 1\n");
    ASSERT_TRUE(d.start()) << d.log();
    const int other_port = daemon_harness::free_port();
    const std::string warning = "keeps listening on 127.0.0.1:" + std::to_string(d.port()) + " until it is restarted";
    const struct {
        const char* name;
        std::string extra;
    } changes[] = {
        {"port", "BindPort = " + std::to_string(other_port) + "\n"},
        {"address", "BindAddress = 127.0.0.2\n"},
    };
    size_t warned = 0;
    for (const auto& c : changes) {
        d.write_config("[Log]\nLogLevel = 1\n[Daemon]\n" + c.extra);
        d.signal(SIGHUP);
        ASSERT_TRUE(wait_until([&] { return count_of(d.log(), warning) > warned; }, 10000)) << c.name << d.log();
        ++warned;
        EXPECT_EQ(d.exchange(options_request).rfind("ICAP/1.0 200 OK", 0), 0u) << c.name;
    }
    EXPECT_EQ(count_of(d.log(), stays_in_force), 0u);
}

}  // namespace
