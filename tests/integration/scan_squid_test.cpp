// End to end: an EICAR download through a real Squid whose ICAP service is
// the daemon, scanned by the stand-in scanner or by a private clamd.

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "integration/daemon_harness.h"
#include "integration/scan_standin.h"
#include "squid_peer.h"
#include "support/clamd_launch.h"

namespace {

bool have_squid_and_root(std::string* why)
{
    if (system("command -v squid >/dev/null 2>&1 && command -v curl >/dev/null 2>&1") != 0)
        *why = "squid or curl is not installed";
    else if (geteuid() != 0)
        *why = "squid needs root to switch to the proxy user";
    return why->empty();
}

// Squid fetches an EICAR file and a clean one through the daemon, whose
// scanner is set by `scanner_settings`.
void expect_eicar_blocked(daemon_harness& daemon, const std::string& scanner_settings)
{
    const std::string clean = "nothing to see here\n";
    origin_server origin({{"/eicar.com", {"application/octet-stream", eicar()}},
                          {"/clean.bin", {"application/octet-stream", clean}}});
    ASSERT_GT(origin.port(), 0);
    daemon.write_config(scanner_settings + "Infected = report\n");
    ASSERT_TRUE(daemon.start()) << daemon.log();
    squid_proxy squid(daemon.port(), 1024);
    ASSERT_EQ(squid.error(), "");

    const std::string base = "http://127.0.0.1:" + std::to_string(origin.port());
    http_result infected = curl_through(squid.port(), base + "/eicar.com");
    EXPECT_EQ(infected.status, 200) << squid.log("cache.log");
    EXPECT_NE(infected.body.find("<title>Access denied</title>"), std::string::npos) << infected.body;
    EXPECT_EQ(infected.body.find("EICAR-STANDARD"), std::string::npos);

    http_result passed = curl_through(squid.port(), base + "/clean.bin");
    EXPECT_EQ(passed.status, 200);
    EXPECT_EQ(passed.body, clean);
}

TEST(scan_squid, eicar_download_shows_the_block_page)
{
    std::string why;
    if (!have_squid_and_root(&why))
        GTEST_SKIP() << why;
    signal(SIGPIPE, SIG_IGN);
    daemon_harness daemon;
    standin_process scanner(daemon.dir(), {});
    ASSERT_TRUE(scanner.ready());
    expect_eicar_blocked(daemon, "VorexAddress = " + scanner.local_address() + "\n");
}

TEST(scan_squid, eicar_download_scanned_by_clamd_shows_the_block_page)
{
    std::string why;
    if (!have_squid_and_root(&why))
        GTEST_SKIP() << why;
    signal(SIGPIPE, SIG_IGN);
    clamd_process clamd;
    ASSERT_TRUE(clamd.start());
    daemon_harness daemon;
    expect_eicar_blocked(daemon, "ClamdAddress = " + clamd.local_address() + "\n");
}

} // namespace
