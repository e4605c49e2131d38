// The URL category filter through the real daemon: a list file in
// UwlDirectory refuses its URLs with the block page, and a reload installs
// a delivered ".cache" file.

#include <csignal>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "integration/daemon_harness.h"
#include "uwl_writer.h"

namespace {

// True when the daemon binary links `symbol`: a static library member is
// only linked when something calls it.
bool daemon_calls(const char* symbol)
{
    const std::string command = "nm -C '" + daemon_harness::binary() + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return false;
    bool found = false;
    char line[4096];
    while (fgets(line, sizeof line, pipe))
        found = found || std::string(line).find(symbol) != std::string::npos;
    pclose(pipe);
    return found;
}

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
        if (!daemon_calls("uwl_files_is_blocked("))
            GTEST_SKIP() << "the early decision (src/icap/decision.cpp) does not call uwl_files_is_blocked() yet";
    }

    // Starts the daemon; false when its configuration load does not read
    // UwlDirectory (the load logs every list file it parses).
    bool start_reading_lists()
    {
        daemon.write_config();
        if (!daemon.start())
            ADD_FAILURE() << daemon.log();
        return daemon.log().find("Parse uwl file") != std::string::npos;
    }

    daemon_harness daemon;
};

const char load_missing[] = "vrxid_init (src/settings/config_load.cpp) does not call uwl_files_load() yet";

TEST_F(uwl_daemon, listed_urls_get_the_block_page)
{
    daemon_harness::write_file(daemon.path("uwl/p.uwl"), list_file({"type porno", "url bad.example/dir/"}));
    daemon_harness::write_file(daemon.path("uwl/c.uwl"), list_file({"type chats", "url chat.example"}));
    if (!start_reading_lists())
        GTEST_SKIP() << load_missing;

    EXPECT_TRUE(is_block_page(daemon.exchange(reqmod("www.bad.example", "/dir/page.html")))) << daemon.log();
    EXPECT_NE(daemon.log().find("match_with:[bad.example/dir/]"), std::string::npos);
    EXPECT_TRUE(passes(daemon.exchange(reqmod("www.bad.example", "/other"))));
    // BlockChats is off unless the configuration turns it on.
    EXPECT_TRUE(passes(daemon.exchange(reqmod("chat.example", "/"))));
}

TEST_F(uwl_daemon, reload_installs_a_delivered_list)
{
    daemon_harness::write_file(daemon.path("uwl/p.uwl"), list_file({"type porno", "url old.example"}));
    if (!start_reading_lists())
        GTEST_SKIP() << load_missing;
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
