// Loads of small texts in-process: per-request overrides and list keys.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unistd.h>

#include "request/request_expr_context.h"
#include "request/request_state.h"
#include "settings/config_load.h"
#include "settings_test_util.h"

namespace {

struct settings_load : ::testing::Test {
    icapd_config cfg;
    temp_dir uwl_dir;
    // An existing user and a readable category folder make a text loadable.
    const std::string user_line = "User = " + current_user() + "\nUwlDirectory = " + uwl_dir.path() + "/\n";
};

TEST_F(settings_load, first_matching_section_that_sets_a_key_decides)
{
    ASSERT_EQ(load_text(cfg, user_line +
                                 "BlockPorno = yes\n"
                                 "BlockChats = no\n"
                                 "[match]\n"
                                 "if request_url == \"http://a/\" {\n"
                                 "BlockChats = yes\n"
                                 "BlockPorno = yes\n"
                                 "BlockPorno = no\n"
                                 "}\n"
                                 "if request_url ~ \"a\" {\n"
                                 "BlockChats = no\n"
                                 "BlockEmail = yes\n"
                                 "}\n"
                                 "[match]\n"
                                 "if request_username == \"bob\" {\n"
                                 "BlockAll = yes\n"
                                 "}\n"
                                 "if request_url == \"http://c/\" {\n"
                                 "}\n"),
              "");
    ASSERT_EQ(cfg.match_blocks.size(), 3u);

    const struct {
        const char* url;
        const char* username;
        bool chats, porno, email, all;
    } cases[] = {
        // Both url sections match: the first decides BlockChats, the second
        // adds BlockEmail; the second BlockPorno of one block replaces the first.
        {"http://A/", "", true, false, true, false},
        {"http://b/a", "", false, true, true, false},
        {"http://c/", "bob", false, true, false, true},
        // No section matches: the global values.
        {"http://c/", "", false, true, false, false},
    };
    for (const auto& c : cases) {
        request_state request;
        request.url = c.url;
        request.username = c.username;
        const request_expr_context ctx(request);
        EXPECT_EQ(cfg.get_block_chats(ctx), c.chats) << c.url << " " << c.username;
        EXPECT_EQ(cfg.get_block_porno(ctx), c.porno) << c.url << " " << c.username;
        EXPECT_EQ(cfg.get_block_email(ctx), c.email) << c.url << " " << c.username;
        EXPECT_EQ(cfg.get_block_all(ctx), c.all) << c.url << " " << c.username;
        EXPECT_EQ(cfg.get_block_violence(ctx), true);
    }
}

TEST_F(settings_load, functions_back_conditions)
{
    ASSERT_EQ(load_text(cfg, user_line +
                                 "[def]\n"
                                 "is_bob = { request_username == \"bob\" }\n"
                                 "[match]\n"
                                 "if is_bob() {\n"
                                 "BlockSocialNetwork = yes\n"
                                 "}\n"),
              "");
    request_state request;
    request.username = "BOB";
    EXPECT_TRUE(cfg.get_block_social_network(request_expr_context(request)));
    request.username = "alice";
    EXPECT_FALSE(cfg.get_block_social_network(request_expr_context(request)));
    icapd_config twice;
    EXPECT_EQ(load_text(twice, user_line + "[def]\nf = { request_url == \"x\" }\n"
                                           "[def]\nf = { request_url == \"y\" }\n"),
              "Error while parsing config file: parser error at line 6: "
              "Function f already exists");
}

TEST_F(settings_load, list_keys_add_up)
{
    temp_dir dir;
    const std::string a = dir.write("a", "127.0.0.1\n# comment\n");
    const std::string b = dir.write("b", "10.1.2.3\n");
    ASSERT_EQ(load_text(cfg, user_line + "WhiteUwlFiles = " + a + "\nwhiteuwlfiles = " + b + ", " +
                                 a + "\nBlackHosts = " + a + "\nBLACKHOSTS = " + b + "\n"),
              "");
    EXPECT_EQ(cfg.white_uwl_files, string_list({a, b, a}));
    EXPECT_EQ(cfg.white_uwl_files_list.size(), 3u);
    std::string black;
    for (const host_entry& entry : cfg.black_hosts_list)
        black += std::to_string(entry.type) + ":" + entry.text + " ";
    EXPECT_EQ(black, "0:127.0.0.1 1:127.0.0.1 0:10.1.2.3 1:10.1.2.3 ");
}

// A reload reads the same source again and keeps the command-line flags;
// nothing of the previous load survives the release.
TEST_F(settings_load, reload_after_release)
{
    temp_dir dir;
    const std::string hosts = dir.write("hosts", "127.0.0.1\n");
    const std::string path = dir.write("test.ini", user_line + "BlackHosts = " + hosts +
                                                       "\nVorexAddress = local:/s\nPathToQuarantine = " +
                                                       dir.path() + "/missing\n"
                                                       "[match]\nif request_url == \"a\" {\n"
                                                       "BlockChats = yes\n}\n");
    const char* argv[] = {"vorex-icapd", "--check-only", "-m", "-f", path.c_str(), nullptr};
    vrxid_init(5, const_cast<char**>(argv));
    EXPECT_EQ(g_config.config_source, path);
    EXPECT_EQ(g_config.match_blocks.size(), 1u);
    EXPECT_EQ(g_config.daemon_addresses.size(), 1u);
    EXPECT_EQ(g_config.black_hosts_list.size(), 2u);

    // Without the quarantine folder pathconf has no name limit: the fallback.
    EXPECT_EQ(g_config.quarantine_name_max, 256);

    dir.write("test.ini", user_line + "LogLevel = 3\nPathToQuarantine = " + dir.path() + "\n");
    vrxid_release();
    vrxid_init(-1, nullptr);
    EXPECT_TRUE(g_config.check_only);
    EXPECT_TRUE(g_config.monitor);
    EXPECT_FALSE(g_config.extra_debug);
    EXPECT_EQ(g_config.log_level, 3);
    EXPECT_TRUE(g_config.match_blocks.empty());
    EXPECT_TRUE(g_config.daemon_addresses.empty());
    EXPECT_TRUE(g_config.black_hosts.empty());
    EXPECT_TRUE(g_config.black_hosts_list.empty());
    EXPECT_EQ(g_config.quarantine_name_max, std::min(pathconf(dir.path().c_str(), _PC_NAME_MAX), 10000L));
    vrxid_release();
}

}  // namespace
