// The uwl_build program: its output is accepted by the loader and matches
// what its source lists; bad sources fail without writing a file.

#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "uwl_files/parsed_url.h"
#include "uwl_files/uwl_match.h"
#include "uwl_fixture.h"

namespace {

int run_build(const std::string& arguments, const std::string& errors)
{
    const std::string command = std::string(UWL_BUILD_PATH) + " " + arguments + " 2>" + errors;
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(uwl_build, source_file_and_options_make_a_loadable_list)
{
    scratch_dir dir;
    write_bytes(dir.path + "src.txt",
                "# gambling sites\n"
                "type whitelist_Gamble\n"
                "\n"
                "url Cards.example/poker/\n"
                "params dice.example/roll seed=1 n=2\n"
                "pattern jackpot now\n"
                "ipv4 10.9.8.7\n"
                "# hosts are read as in request URLs\n"
                "url Trail.Example.\n"
                "url 10.1.1.1./admin\n");
    const std::string out = dir.path + "g.uwl";
    ASSERT_EQ(run_build("-k " VRX_UWL_PRIVATE_KEY " -o " + out + " " + dir.path + "src.txt --ipv6 ::2",
                        dir.path + "err"), 0) << read_bytes(dir.path + "err");

    UwlFile file;
    std::string type;
    ASSERT_EQ(uwl_file_parse(file, out, type), 1);
    EXPECT_EQ(type, "whitelist_Gamble");
    const std::pair<const char*, bool> cases[] = {
        {"www.cards.example/poker/texas", true},
        {"cards.example/pokers", false},
        {"dice.example/roll?n=2&seed=1", true},
        {"dice.example/roll?n=2", false},
        {"x.org/?q=JACKPOT NOW", true},
        {"10.9.8.7/", true},
        {"[::2]/", true},
        {"[::3]/", false},
        {"www.trail.example/", true},
        {"10.1.1.1:80/admin", true},
    };
    for (const auto& [text, listed] : cases) {
        ParsedUrl url;
        parse_url(url, text, std::strlen(text));
        std::string match_with;
        EXPECT_EQ(uwl_file_match(file, url, match_with), listed) << text;
    }
}

TEST(uwl_build, bad_sources_fail_without_output)
{
    scratch_dir dir;
    const std::string out = dir.path + "x.uwl";
    const std::string key = "-k " VRX_UWL_PRIVATE_KEY " -o " + out + " ";
    struct row {
        std::string arguments;
        int status;
        const char* message;
    };
    write_bytes(dir.path + "bad.txt", "type porno\nurl ok.example\nipv4 300.1.1.1\n");
    const row rows[] = {
        {key + dir.path + "bad.txt", 1, "bad.txt:3: bad IPv4 address \"300.1.1.1\""},
        {key + "--url x.example", 1, "the source has no type"},
        {key + "--type porno --frobnicate x", 1, "unknown statement \"frobnicate\""},
        // keys that no request URL would reach
        {key + "--type porno --url x.example:8080/a", 1, "not a plain HOST[/PATH]"},
        {key + "--type porno --url user@x.example", 1, "not a plain HOST[/PATH]"},
        {key + "--type porno --url x.example/a?b=1", 1, "not a plain HOST[/PATH]"},
        {key + "--type porno --params 'x.example/a b=1&c=2'", 1, "holds \"&\""},
        {key + dir.path + "missing.txt", 1, "cannot read"},
        {"-k " + dir.path + "bad.txt -o " + out + " --type porno", 1, "no DSA private key"},
        {"-o " + out + " --type porno", 2, "Usage: uwl_build"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.arguments);
        EXPECT_EQ(run_build(r.arguments, dir.path + "err"), r.status);
        EXPECT_NE(read_bytes(dir.path + "err").find(r.message), std::string::npos) << read_bytes(dir.path + "err");
        EXPECT_TRUE(read_bytes(out).empty());
    }
}

}  // namespace
