// Two daemons behind one Squid with conf/squid/two_servers.conf (the
// README's scaling-out setup): both serve; with one stopped, requests keep
// being filtered by the other and, once Squid has marked the stopped one
// down, no request gets an error page; started again, it is used again.

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "integration/daemon_harness.h"
#include "integration/squid_peer.h"
#include "uwl_writer.h"

namespace {

std::string squid_icap_lines(int port_a, int port_b)
{
    std::ifstream in(VRX_SOURCE_DIR "/conf/squid/two_servers.conf");
    std::ostringstream text;
    text << in.rdbuf();
    std::string lines = std::regex_replace(text.str(), std::regex("@SERVER_A@"),
                                           "127.0.0.1:" + std::to_string(port_a));
    return std::regex_replace(lines, std::regex("@SERVER_B@"), "127.0.0.1:" + std::to_string(port_b));
}

size_t count_of(const std::string& text, const std::string& word)
{
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++count;
    return count;
}

class two_servers : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        uwl_source source;
        uwl_source_line(source, "type malware");
        uwl_source_line(source, "url blocked.example");
        const std::string list = uwl_sign(uwl_layout(source), VRX_UWL_PRIVATE_KEY);
        for (daemon_harness* d : {&a, &b}) {
            daemon_harness::write_file(d->path("uwl/malware.uwl"), list);
            d->write_config();
            ASSERT_TRUE(d->start()) << d->log();
        }
    }

    // Requests each server's log shows it handled.
    static size_t handled(const daemon_harness& d) { return count_of(d.log(), "Request handled"); }

    // One blocked and one allowed request through Squid; false when either
    // got anything but its expected answer.
    bool filtered(const squid_proxy& squid, std::string* why)
    {
        const http_result blocked = curl_through(squid.port(), "http://blocked.example/");
        const http_result allowed =
            curl_through(squid.port(), "http://127.0.0.1:" + std::to_string(origin.port()) + "/");
        *why = "blocked: " + std::to_string(blocked.status) + " " + blocked.body.substr(0, 200) +
               "\nallowed: " + std::to_string(allowed.status) + " " + allowed.body.substr(0, 200);
        return blocked.body.find("Access blocked") != std::string::npos && allowed.status == 200 &&
               allowed.body == "origin page";
    }

    origin_server origin{{{"/", {"text/plain", "origin page"}}}};
    daemon_harness a, b;
};

TEST_F(two_servers, one_stopped_the_other_filters_and_a_restarted_one_is_used_again)
{
    squid_proxy squid(squid_icap_lines(a.port(), b.port()), 1024);
    ASSERT_EQ(squid.error(), "");
    std::string why;

    for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(filtered(squid, &why)) << why;
    EXPECT_GT(handled(a), 0u) << "server A was never used";
    EXPECT_GT(handled(b), 0u) << "server B was never used";

    // Stopped: Squid may fail a few requests until it marks A down (its
    // failure limit is 3), then every request is filtered by B alone.
    a.stop();
    for (int i = 0; i < 6; ++i)
        filtered(squid, &why);
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(filtered(squid, &why)) << "request " << i << " after A was marked down: " << why;

    // Started again: after the revival delay (30 s) Squid fetches A's
    // OPTIONS and sends it requests again.
    ASSERT_TRUE(a.start()) << a.log();
    const size_t before = handled(a);
    bool used_again = false;
    for (int second = 0; second < 75 && !used_again; ++second) {
        EXPECT_TRUE(filtered(squid, &why)) << why;
        used_again = handled(a) > before;
        if (!used_again)
            sleep(1);
    }
    EXPECT_TRUE(used_again) << "server A was not used again within 75 s\n" << squid.log("cache.log");
}

}  // namespace
