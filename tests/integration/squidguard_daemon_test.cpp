// squidGuard category folders converted by uwl_build and matched by the
// real daemon: folders merged into one category, domains with their
// subdomains, urls without their "www.", unmatchable entries reported.

#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "integration/daemon_harness.h"
#include "settings/run_process.h"

namespace {

std::string reqmod(const std::string& host, const std::string& path)
{
    const std::string get = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    return "REQMOD icap://127.0.0.1/reqmod ICAP/1.0\r\nAllow: 204\r\nEncapsulated: req-hdr=0, null-body=" +
           std::to_string(get.size()) + "\r\n\r\n" + get;
}

bool is_block_page(const std::string& reply)
{
    return reply.find("Access blocked") != std::string::npos;
}

TEST(squidguard_import, converted_folders_block_their_urls)
{
    daemon_harness daemon;
    const std::string sg = daemon.path("sg");
    for (const std::string& dir : {sg, sg + "/adult", sg + "/porn", sg + "/gambling"})
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0) << dir;
    daemon_harness::write_file(sg + "/adult/domains",
                               "# adult sites\nbad.example\n\nport.example:8080\n*.wild.example\n");
    daemon_harness::write_file(sg + "/adult/urls", "www.pages.example/dir/\n");
    daemon_harness::write_file(sg + "/porn/domains", "other.example  # trailing comment\n");
    daemon_harness::write_file(sg + "/gambling/urls", "http://casino.example/slots\n");

    const process_result built = run_process(
        {VRX_BINARY_DIR "/tools/uwl_build", "-k", VRX_UWL_PRIVATE_KEY, "-d", daemon.path("uwl"),
         "--squidguard", sg + "/adult=porno", "--squidguard", sg + "/porn=porno", "--squidguard",
         sg + "/gambling=gamble"},
        daemon.dir());
    ASSERT_EQ(built.status, 0) << built.err;
    EXPECT_NE(built.err.find("adult/domains:4: \"port.example:8080\" left out"), std::string::npos) << built.err;
    EXPECT_NE(built.err.find("adult/domains:5: \"*.wild.example\" left out"), std::string::npos) << built.err;
    EXPECT_NE(built.err.find("adult: 2 entries"), std::string::npos) << built.err;

    daemon.write_config();
    ASSERT_TRUE(daemon.start()) << daemon.log();
    const struct {
        const char* host;
        const char* path;
        bool blocked;
    } cases[] = {
        {"bad.example", "/", true},          {"www.bad.example", "/x", true},
        {"pages.example", "/dir/p", true},   {"www.pages.example", "/dir/", true},
        {"pages.example", "/other", false},  {"other.example", "/", true},
        {"casino.example", "/slots/1", true}, {"casino.example", "/", false},
        {"good.example", "/", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_block_page(daemon.exchange(reqmod(c.host, c.path))), c.blocked)
            << c.host << c.path << "\n" << daemon.log();
}

}  // namespace
