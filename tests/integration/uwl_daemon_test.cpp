// The URL category filter through the real daemon: a list file in
// UwlDirectory refuses its URLs with the block page, and a reload installs
// a delivered ".cache" file.

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "integration/daemon_harness.h"
#include "uwl_writer.h"

namespace {

std::string list_file(std::initializer_list<const char*> lines)
{
    uwl_source source;
    for (const char* line : lines)
        uwl_source_line(source, line);
    return uwl_sign(uwl_layout(source), VRX_UWL_PRIVATE_KEY);
}

std::string reqmod(const std::string& host, const std::string& path)
{
    const std::string get = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\nEncapsulated: req-hdr=0, null-body=" +
           std::to_string(get.size()) + "\r\n\r\n" + get;
}

bool is_block_page(const std::string& reply)
{
    return reply.find("Encapsulated: res-hdr=0, res-body=") != std::string::npos &&
           reply.find("Access blocked") != std::string::npos;
}

// Answered, and not with the block page.
bool passes(const std::string& reply)
{
    return reply.rfind("ICAP/1.0 20", 0) == 0 && !is_block_page(reply);
}

class uwl_daemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
    }

    // Starts the daemon and checks that its load parsed the list files.
    void start_reading_lists()
    {
        daemon.write_config();
        ASSERT_TRUE(daemon.start()) << daemon.log();
        ASSERT_NE(daemon.log().find("Parse uwl file"), std::string::npos) << daemon.log();
    }

    daemon_harness daemon;
};

TEST_F(uwl_daemon, listed_urls_get_the_block_page)
{
    daemon_harness::write_file(daemon.path("uwl/p.uwl"), list_file({"type porno", "url bad.example/dir/"}));
    daemon_harness::write_file(daemon.path("uwl/c.uwl"), list_file({"type chats", "url chat.example"}));
    start_reading_lists();
    if (HasFatalFailure())
        return;

    EXPECT_TRUE(is_block_page(daemon.exchange(reqmod("www.bad.example", "/dir/page.html")))) << daemon.log();
    EXPECT_NE(daemon.log().find("match_with:[bad.example/dir/]"), std::string::npos);
    EXPECT_TRUE(passes(daemon.exchange(reqmod("www.bad.example", "/other"))));
    // BlockChats is off unless the configuration turns it on.
    EXPECT_TRUE(passes(daemon.exchange(reqmod("chat.example", "/"))));
}

TEST_F(uwl_daemon, reload_installs_a_delivered_list)
{
    daemon_harness::write_file(daemon.path("uwl/p.uwl"), list_file({"type porno", "url old.example"}));
    start_reading_lists();
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(is_block_page(daemon.exchange(reqmod("old.example", "/"))));

    daemon_harness::write_file(daemon.path("uwl/p.uwl.cache"), list_file({"type porno", "url new.example"}));
    daemon.signal(SIGHUP);
    ASSERT_TRUE(wait_until([&] { return daemon.log().find("rename from") != std::string::npos; }))
        << daemon.log();
    EXPECT_TRUE(wait_until([&] { return is_block_page(daemon.exchange(reqmod("new.example", "/"))); }))
        << daemon.log();
    EXPECT_TRUE(passes(daemon.exchange(reqmod("old.example", "/"))));
    EXPECT_TRUE(daemon_harness::read_file(daemon.path("uwl/p.uwl.cache")).empty());
}

}  // namespace
