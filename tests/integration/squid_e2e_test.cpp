// End to end: curl through a real Squid whose ICAP services are the daemon,
// fetching from an origin server inside the test.

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "integration/daemon_harness.h"
#include "squid_peer.h"

namespace {

TEST(squid_e2e, pages_pass_and_blocks_show_the_report) {
    if (system("command -v squid >/dev/null 2>&1 && command -v curl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "squid or curl is not installed";
    if (geteuid() != 0)
        GTEST_SKIP() << "squid needs root to switch to the proxy user";
    signal(SIGPIPE, SIG_IGN);

    const std::string page = "<html><body>An ordinary page " + std::string(3000, '.') + "</body></html>\n";
    origin_server origin({{"/page.html", {"text/html", page}},
                          {"/blocked-path/page.html", {"text/html", page}},
                          {"/picture.png", {"image/png", std::string(2000, 'p')}}});
    ASSERT_GT(origin.port(), 0);

    daemon_harness daemon;
    daemon_harness::write_file(daemon.path("black"), "blocked-path\n");
    daemon.write_config("BlackHosts = " + daemon.path("black") + "\nMimeStart\nimage reject -report all\nMimeEnd\n");
    ASSERT_TRUE(daemon.start()) << daemon.log();

    squid_proxy squid(daemon.port(), 1024);
    ASSERT_EQ(squid.error(), "");

    const std::string base = "http://127.0.0.1:" + std::to_string(origin.port());
    http_result normal = curl_through(squid.port(), base + "/page.html");
    EXPECT_EQ(normal.status, 200) << squid.log("cache.log");
    EXPECT_EQ(normal.body, page);

    http_result black = curl_through(squid.port(), base + "/blocked-path/page.html");
    EXPECT_EQ(black.status, 200);
    EXPECT_NE(black.body.find("Access blocked"), std::string::npos) << black.body;
    EXPECT_NE(black.headers.find("Via:"), std::string::npos);

    http_result picture = curl_through(squid.port(), base + "/picture.png");
    EXPECT_EQ(picture.status, 200);
    EXPECT_NE(picture.body.find("Access blocked"), std::string::npos) << picture.body;
    EXPECT_NE(picture.headers.find("text/html"), std::string::npos) << picture.headers;

    EXPECT_NE(squid.log("icap.log").find("ICAP_MOD"), std::string::npos) << squid.log("icap.log");
}

}  // namespace
