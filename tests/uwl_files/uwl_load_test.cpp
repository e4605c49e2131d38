// Loading of UwlDirectory (categories, deliveries) and the per-request
// check with its white lists, disabled categories and overrides.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "conf_parser/cf_expr.h"
#include "icap/url_policy.h"
#include "request/request_state.h"
#include "settings/icapd_config.h"
#include "uwl_files/uwl_files.h"
#include "uwl_fixture.h"

namespace {

size_t slot(const char* name)
{
    for (size_t i = 0; i < uwl_category_count; ++i)
        if (std::string(uwl_categories()[i].name) == name)
            return i;
    throw std::runtime_error(name);
}

// Restores the settings the tests change.
class uwl_load : public ::testing::Test {
protected:
    void SetUp() override { g_config.uwl_directory = dir_.path; }
    void TearDown() override
    {
        uwl_files_release();
        g_config.uwl_directory = "/var/vorex/uwl/";
        g_config.match_blocks.clear();
        g_config.white_uwl_files_list.clear();
    }

    void write_list(const char* name, std::initializer_list<const char*> lines)
    {
        write_bytes(dir_.path + name, uwl_signed(uwl_source_of(lines)));
    }

    int blocked(const char* url, const char* username, std::string& matched)
    {
        request_state request;
        request.url = url;
        request.username = username;
        request.client_ip = "127.0.0.1";
        return uwl_files_is_blocked(request, matched);
    }

    // A match section for requests of `username` that sets one Block key.
    static void add_user_override(const char* username, int32_t id, bool value)
    {
        using text = expr::string_type_traits;
        match_block block;
        block.condition.reset(new expr::op_ieq(
            expr::value_ptr<text>(new expr::value_var<text>("request_username")),
            expr::value_ptr<text>(new expr::value_const<text>(username))));
        g_config.match_blocks.push_back(std::move(block));
        g_config.add_override<bool>(id, value);
    }

    scratch_dir dir_;
};

TEST_F(uwl_load, files_go_to_the_category_of_their_type_text)
{
    write_list("porno.uwl", {"type porno", "url bad.com"});
    write_list("drugs_named_porno_too.uwl", {"type drugs", "url drug.com"});
    write_list("w.uwl", {"type WHITELIST_MALWARE", "url ok.com"});
    write_list("m.uwl", {"type Malware", "url mal.com"});
    write_list("unknown.uwl", {"type recipes", "url food.com"});
    write_list("notes.txt", {"type porno", "url txt.com"});
    // Bare suffix names pass the name test: ".uwl" is a list, and ".cache"
    // is a delivery whose target (the folder itself) cannot be replaced.
    write_list(".uwl", {"type chats", "url chat.com"});
    write_list(".cache", {"type drugs", "url drug.org"});
    write_bytes(dir_.path + "broken.uwl", "UWL");
    mkdir((dir_.path + "sub.uwl").c_str(), 0700);

    log_capture log;
    ASSERT_EQ(uwl_files_load(g_config.uwl_directory), 1);
    const auto& table = uwl_categories();
    for (size_t i = 0; i < uwl_category_count; ++i) {
        const std::string name = table[i].name;
        SCOPED_TRACE(name);
        EXPECT_EQ(table[i].black.size(),
                  name == "porno" || name == "drugs" || name == "malware" || name == "chats" ? 1u : 0u);
        EXPECT_EQ(table[i].white.size(), name == "malware" ? 1u : 0u);
    }
    const std::string text = log.text();
    EXPECT_NE(text.find("Unknown type recipes in uwl file " + dir_.path + "unknown.uwl"), std::string::npos);
    EXPECT_NE(text.find("Wrong uwl format in file " + dir_.path + "broken.uwl"), std::string::npos);
    EXPECT_NE(text.find("Skip " + dir_.path + "notes.txt"), std::string::npos);
    EXPECT_NE(text.find("Skip " + dir_.path + "sub.uwl"), std::string::npos);
    EXPECT_NE(text.find("error in rename from " + dir_.path + ".cache to " + dir_.path + ": "), std::string::npos);

    uwl_files_release();
    for (const uwl_category& category : table)
        EXPECT_TRUE(category.black.empty() && category.white.empty());
}

TEST_F(uwl_load, unreadable_directory_fails_the_load)
{
    log_capture log;
    g_config.uwl_directory = dir_.path + "missing/";
    EXPECT_EQ(uwl_files_load(g_config.uwl_directory), 0);
    EXPECT_NE(log.text().find("Can`t open directory " + dir_.path + "missing/ for reading: "), std::string::npos);
}

TEST_F(uwl_load, a_directory_written_without_its_final_slash_is_read)
{
    write_list("p.uwl", {"type porno", "url bad.com"});
    const std::string directory = dir_.path.substr(0, dir_.path.size() - 1);
    ASSERT_EQ(uwl_files_load(directory), 1);
    EXPECT_EQ(uwl_categories()[slot("porno")].black.size(), 1u);
}

TEST_F(uwl_load, a_good_delivery_replaces_its_list_on_reload)
{
    write_list("list.uwl", {"type porno", "url old.com"});
    ASSERT_EQ(uwl_files_load(g_config.uwl_directory), 1);
    std::string matched;
    EXPECT_EQ(blocked("http://old.com/", "", matched), 1);

    write_list("list.uwl.cache", {"type porno", "url new.com"});
    const std::string delivered = read_bytes(dir_.path + "list.uwl.cache");
    ASSERT_EQ(uwl_files_load(g_config.uwl_directory), 1);
    EXPECT_EQ(read_bytes(dir_.path + "list.uwl"), delivered);
    EXPECT_TRUE(read_bytes(dir_.path + "list.uwl.cache").empty());
    EXPECT_EQ(uwl_categories()[slot("porno")].black.size(), 1u);
    EXPECT_EQ(blocked("http://new.com/", "", matched), 1);
    EXPECT_EQ(blocked("http://old.com/", "", matched), 0);
}

TEST_F(uwl_load, a_bad_delivery_is_left_in_place_and_the_old_list_kept)
{
    write_list("list.uwl", {"type porno", "url old.com"});
    std::string bad = uwl_signed(uwl_source_of({"type porno", "url new.com"}));
    bad[bad.size() / 2] ^= 1;
    write_bytes(dir_.path + "list.uwl.cache", bad);

    log_capture log;
    ASSERT_EQ(uwl_files_load(g_config.uwl_directory), 1);
    EXPECT_EQ(read_bytes(dir_.path + "list.uwl.cache"), bad);
    std::string matched;
    EXPECT_EQ(blocked("http://old.com/", "", matched), 1);
    EXPECT_EQ(blocked("http://new.com/", "", matched), 0);
    EXPECT_NE(log.text().find("Refused delivery " + dir_.path + "list.uwl.cache"), std::string::npos);
}

TEST_F(uwl_load, requests_are_checked_by_enabled_categories_white_files_first)
{
    write_list("p.uwl", {"type porno", "url bad.com", "url both.com", "url dir.org/a/"});
    write_list("m.uwl", {"type malware", "url mal.com", "url both.com", "url whitemal.com"});
    write_list("mw.uwl", {"type whitelist_malware", "url both.com", "url whitemal.com"});
    write_list("c.uwl", {"type chats", "url chat.com"});
    ASSERT_EQ(uwl_files_load(g_config.uwl_directory), 1);
    add_user_override("kid", block_id::chats, true);
    add_user_override("adult", block_id::porno, false);

    struct row {
        const char* url;
        const char* username;
        const char* matched;   // nullptr: not blocked
    };
    const row rows[] = {
        {"http://bad.com/x", "", "bad.com"},
        {"HTTPS://www.bad.com:443/x?y=1", "", "bad.com"},
        {"bad.com/", "", "bad.com"},
        {"http://mal.com/", "", "mal.com"},
        {"http://whitemal.com/", "", nullptr},          // white file of the category wins
        {"http://both.com/", "", "both.com"},           // white for malware, black for porno
        {"http://chat.com/", "", nullptr},              // BlockChats is off by default
        {"http://chat.com/", "kid", "chat.com"},        // a match section turns it on
        {"http://bad.com/", "adult", nullptr},          // or turns BlockPorno off
        {"http://dir.org/a%2Fb", "", "dir.org/a/"},     // decoded before hashing
        {"http://dir.org/ab", "", nullptr},
        // a user part is dropped before decoding, so "%2F" in it hides no host
        {"http://good.org%2F@bad.com/x", "", "bad.com"},
        {"http://u%3Fp@bad.com/", "", "bad.com"},
        {"http://good.org/", "", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.url) + " user " + r.username);
        std::string matched = "unset";
        EXPECT_EQ(blocked(r.url, r.username, matched), r.matched ? 1 : 0);
        if (r.matched) {
            EXPECT_EQ(matched, r.matched);
        }
    }
}

TEST_F(uwl_load, hosts_on_white_uwl_files_are_never_refused)
{
    write_list("p.uwl", {"type porno", "url bad.com", "pattern bad"});
    ASSERT_EQ(uwl_files_load(g_config.uwl_directory), 1);
    g_config.white_uwl_files_list.push_back({host_entry_host, "bad.com"});

    log_capture log;
    struct row {
        const char* url;
        int blocked;
    };
    for (const row& r : {row{"http://bad.com/x", 0}, row{"http://www.BAD.com:8080/", 0},
                         row{"http://notbad.com/", 1}, row{"http://bad.com.evil.org/", 1}}) {
        std::string matched;
        EXPECT_EQ(blocked(r.url, "", matched), r.blocked) << r.url;
    }
    EXPECT_NE(log.text().find("Skip checking [bad.com/x] host due to WhiteUwlFiles"), std::string::npos);
}

}  // namespace
