// The settings table: defaults, conversions and checks of the keys.

#include <gtest/gtest.h>

#include <string>

#include "settings/settings_table.h"

namespace {

// A registry over a config whose every key holds a non-default value, so
// that each default must really be set by the registration.
struct settings_table : ::testing::Test {
    icapd_config cfg;
    param_registry registry;

    void SetUp() override
    {
        param_registry first;
        register_settings(first, cfg);
        const char* const assignments[][2] = {
            {"LogFile", "/x"},          {"SyslogFacility", "Mail"},    {"SyslogPriority", "Alert"},
            {"LogLevel", "7"},          {"MaxLogSize", "1b"},          {"Hostmaster", "h@x"},
            {"Infected", "move"},       {"Incurable", "move"},         {"Suspicious", "move"},
            {"Adware", "move"},         {"Dialers", "move"},           {"Jokes", "move"},
            {"Riskware", "move"},       {"Hacktools", "move"},         {"ArchiveRestriction", "move"},
            {"DaemonError", "move"},    {"SkipObject", "move"},        {"Heuristic", "no"},
            {"LocalScan", "no"},        {"User", "nobody"},            {"Cache", "/c"},
            {"UwlDirectory", "/u"},     {"BlockPorno", "no"},          {"BlockViolence", "no"},
            {"BlockWeapon", "no"},      {"BlockGamble", "no"},         {"BlockDrugs", "no"},
            {"BlockObscenity", "no"},   {"BlockChats", "yes"},         {"BlockTerrorism", "no"},
            {"BlockEmail", "yes"},      {"BlockSocialNetwork", "yes"}, {"BlockMalwareLinks", "no"},
            {"BlockAll", "yes"},        {"WhiteUwlFiles", "/w"},       {"SendUrlsWithViruses", "yes"},
            {"Templates", "/t"},        {"PidFile", "/p"},             {"BlackHosts", "/b"},
            {"WhiteHosts", "/wh"},      {"MaxBlocksize", "1b"},        {"BindPort", "1"},
            {"BindAddress", "::1"},     {"VorexAddress", "local:/s"},  {"PathToQuarantine", "/q"},
            {"QuarantineFilesMode", "1"}, {"Timeout", "1"},            {"SendMail", "yes"},
            {"MinBodyRate", "0"},
            {"MailCommand", "m"},       {"MailCache", "1"},            {"AclList", "/a"},
            {"SendStat", "yes"},        {"KeepAlive", "no"},           {"UsePreview", "no"},
            {"SendMailUwlBlock", "yes"}, {"MaxWorkers", "9"},          {"SpareWorkers", "1"},
            {"MaxConnectionsPerWorker", "5"}, {"KeepAliveTimeout", "7"},
            {"TricklePause", "1"},      {"TrickleLimit", "0"},
            {"ClamdAddress", "local:/c"}, {"ClamdStream", "yes"},
        };
        for (const auto& a : assignments)
            ASSERT_TRUE(first.set(a[0], a[1], true)) << a[0];
        cfg.daemon_addresses.clear();
        register_settings(registry, cfg);
    }

    std::string error_of(const std::string& name, const std::string& value)
    {
        try {
            EXPECT_TRUE(registry.set(name, value, true)) << name;
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }
};

TEST_F(settings_table, registration_sets_every_default)
{
    EXPECT_FALSE(cfg.log_file_set);
    EXPECT_EQ(cfg.log_file, "");
    EXPECT_EQ(cfg.syslog_facility, "User");
    EXPECT_EQ(cfg.syslog_facility_value, 8);
    EXPECT_EQ(cfg.syslog_priority, "Info");
    EXPECT_EQ(cfg.syslog_priority_value, 6);
    EXPECT_EQ(cfg.log_level, 1);
    EXPECT_EQ(cfg.max_log_size, 10485760u);
    EXPECT_EQ(cfg.hostmaster, "root@localhost");
    EXPECT_EQ(cfg.infected, action_pass);
    EXPECT_EQ(cfg.incurable, action_report);
    EXPECT_EQ(cfg.suspicious, action_report);
    EXPECT_EQ(cfg.adware, action_report);
    EXPECT_EQ(cfg.dialers, action_report);
    EXPECT_EQ(cfg.jokes, action_pass);
    EXPECT_EQ(cfg.riskware, action_pass);
    EXPECT_EQ(cfg.hacktools, action_pass);
    EXPECT_EQ(cfg.archive_restriction, action_report);
    EXPECT_EQ(cfg.daemon_error, action_report);
    EXPECT_EQ(cfg.skip_object, action_pass);
    EXPECT_TRUE(cfg.heuristic);
    EXPECT_TRUE(cfg.local_scan);
    EXPECT_EQ(cfg.user, "vorex");
    EXPECT_EQ(cfg.cache, "/var/vorex/cache/");
    EXPECT_EQ(cfg.uwl_directory, "/var/vorex/uwl/");
    const bool blocks[] = {cfg.block_porno,     cfg.block_violence, cfg.block_weapon,
                           cfg.block_gamble,    cfg.block_drugs,    cfg.block_obscenity,
                           cfg.block_chats,     cfg.block_terrorism, cfg.block_email,
                           cfg.block_social_network, cfg.block_malware_links, cfg.block_all};
    const bool expected_blocks[] = {true, true, true, true, true, true,
                                    false, true, false, false, true, false};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(blocks[i], expected_blocks[i]) << "block id " << i;
    EXPECT_TRUE(cfg.white_uwl_files.empty());
    EXPECT_FALSE(cfg.send_urls_with_viruses);
    EXPECT_EQ(cfg.templates, "/usr/local/etc/vorex/templates/icapd");
    EXPECT_EQ(cfg.pid_file, "/var/vorex/run/vorex_icapd.pid");
    EXPECT_TRUE(cfg.black_hosts.empty());
    EXPECT_TRUE(cfg.white_hosts.empty());
    EXPECT_EQ(cfg.max_blocksize, 10485760u);
    EXPECT_EQ(cfg.bind_port, "1344");
    EXPECT_EQ(cfg.bind_address, "127.0.0.1");
    EXPECT_TRUE(cfg.vorex_address.empty());
    EXPECT_TRUE(cfg.daemon_addresses.empty());
    EXPECT_EQ(cfg.path_to_quarantine, "/var/vorex/infected");
    EXPECT_EQ(cfg.quarantine_files_mode, 432);
    EXPECT_EQ(cfg.timeout, 60);
    EXPECT_EQ(cfg.min_body_rate, 512);
    EXPECT_FALSE(cfg.send_mail);
    EXPECT_EQ(cfg.mail_command, "/usr/sbin/sendmail -i -bm -f vorex -- %s");
    EXPECT_EQ(cfg.mail_cache, 60);
    EXPECT_TRUE(cfg.acl_list.empty());
    EXPECT_FALSE(cfg.send_stat);
    EXPECT_TRUE(cfg.keep_alive);
    EXPECT_TRUE(cfg.use_preview);
    EXPECT_FALSE(cfg.send_mail_uwl_block);
    EXPECT_EQ(cfg.max_workers, 256);
    EXPECT_EQ(cfg.spare_workers, 4);
    EXPECT_EQ(cfg.max_connections_per_worker, 0);
    EXPECT_EQ(cfg.keep_alive_timeout, 600);
    EXPECT_EQ(cfg.trickle_pause, 50);
    EXPECT_EQ(cfg.trickle_limit, 64);
    EXPECT_TRUE(cfg.clamd_address.empty());
    EXPECT_TRUE(cfg.clamd_addresses.empty());
    EXPECT_FALSE(cfg.clamd_stream);
    // Cure and heuristic bits on.
    EXPECT_EQ(cfg.scan_options, 0x8040004Au);
}

TEST_F(settings_table, checks_reject_with_their_messages)
{
    const char* const cases[][3] = {
        {"Infected", "pass", "Invalid value for \"Infected\""},
        {"Infected", "scan", "Unknown action: scan"},
        {"Incurable", "cure", "Invalud value for \"Incurable\""},
        {"Incurable", "pass", "Invalud value for \"Incurable\""},
        {"Jokes", "cure", "Invalid action"},
        {"SkipObject", "CURE", "Invalid action"},
        {"Suspicious", "drop", "Unknown action: drop"},
        {"MaxBlocksize", "0", "Error in MaxBlocksize setting: it must be > 0."},
        {"TricklePause", "-1", "Error in TricklePause setting: it must be >= 0."},
        {"TrickleLimit", "-5", "Error in TrickleLimit setting: it must be >= 0."},
        {"MinBodyRate", "-1", "Error in MinBodyRate setting: it must be >= 0."},
        {"MaxBlocksize", "inf", "Error in MaxBlocksize setting: it must be > 0."},
        {"SyslogPriority", "Error", "wrong SyslogPriority: Error"},
        {"SyslogFacility", "Local8", "wrong SyslogFacility: Local8"},
        {"VorexAddress", "unix:/s", "Error parsing daemon address"},
        {"QuarantineFilesMode", "0660x", "Error parsing digital_t"},
        {"MaxWorkers", "0", "Error in MaxWorkers setting: it must be between 1 and 4096."},
        {"MaxWorkers", "4097", "Error in MaxWorkers setting: it must be between 1 and 4096."},
        {"MaxWorkers", "4096", ""},
        {"SpareWorkers", "-1", "Error in SpareWorkers setting: it must be between 0 and 4096."},
        {"SpareWorkers", "0", ""},
        {"MaxConnectionsPerWorker", "-1", "Error in MaxConnectionsPerWorker setting: it must be >= 0."},
        {"KeepAliveTimeout", "-5", "Error in KeepAliveTimeout setting: it must be >= 0."},
        {"KeepAliveTimeout", "0", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(error_of(c[0], c[1]), c[2]) << c[0] << " = " << c[1];
}

// SpareWorkers is checked against MaxWorkers once both are read, in
// whichever order the text gives them.
TEST_F(settings_table, spare_workers_fit_max_workers)
{
    EXPECT_EQ(error_of("SpareWorkers", "8"), "");
    EXPECT_EQ(error_of("MaxWorkers", "8"), "");
    EXPECT_NO_THROW(check_settings(cfg));
    EXPECT_EQ(error_of("MaxWorkers", "7"), "");
    try {
        check_settings(cfg);
        ADD_FAILURE() << "no failure";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Error in SpareWorkers setting: it must not be larger than MaxWorkers (7).");
    }
}

TEST_F(settings_table, conversions)
{
    EXPECT_EQ(error_of("Jokes", "PASS"), "");
    EXPECT_EQ(cfg.jokes, action_pass);
    EXPECT_EQ(error_of("DaemonError", "Truncate"), "");
    EXPECT_EQ(cfg.daemon_error, action_truncate);
    EXPECT_EQ(error_of("QuarantineFilesMode", "0660"), "");
    EXPECT_EQ(cfg.quarantine_files_mode, 660);
    EXPECT_EQ(error_of("MaxLogSize", "0"), "");
    EXPECT_EQ(cfg.max_log_size, 0u);
    EXPECT_EQ(error_of("cache", "/tmp/c"), "");
    EXPECT_EQ(cfg.cache, "/tmp/c/");
    EXPECT_EQ(error_of("UwlDirectory", ""), "");
    EXPECT_EQ(cfg.uwl_directory, "");
    EXPECT_EQ(error_of("SyslogFacility", "local3"), "");
    EXPECT_EQ(cfg.syslog_facility, "local3");
    EXPECT_EQ(cfg.syslog_facility_value, 152);
    EXPECT_EQ(error_of("SyslogPriority", "NOTICE"), "");
    EXPECT_EQ(cfg.syslog_priority_value, 5);
    EXPECT_EQ(error_of("LogFile", ""), "");
    EXPECT_TRUE(cfg.log_file_set);
}

TEST_F(settings_table, infected_and_heuristic_drive_the_scan_options)
{
    EXPECT_EQ(error_of("Infected", "move"), "");
    EXPECT_EQ(cfg.infected, action_move);
    EXPECT_EQ(error_of("Heuristic", "no"), "");
    EXPECT_EQ(cfg.scan_options, 0x80400002u);
    EXPECT_EQ(error_of("Infected", "Cure"), "");
    EXPECT_EQ(cfg.infected, action_pass);
    EXPECT_EQ(error_of("Heuristic", "yes"), "");
    EXPECT_EQ(cfg.scan_options, 0x8040004Au);
}

TEST_F(settings_table, vorex_address_elements_append_entries)
{
    EXPECT_TRUE(registry.set("VorexAddress", string_list{"inet:3000@127.0.0.1", "", "local:/s"}, true));
    EXPECT_EQ(error_of("VorexAddress", "loc:/t, in:1@h"), "");
    ASSERT_EQ(cfg.daemon_addresses.size(), 4u);
    EXPECT_EQ(cfg.daemon_addresses[0].type, DAEMON_ADDR_INET);
    EXPECT_EQ(cfg.daemon_addresses[1].host, "/s");
    EXPECT_EQ(cfg.daemon_addresses[2].host, "/t");
    EXPECT_EQ(cfg.daemon_addresses[3].serv, "1");
    EXPECT_EQ(cfg.vorex_address, string_list({"inet:3000@127.0.0.1", "", "local:/s", "loc:/t, in:1@h"}));
}

TEST(settings_table_death, override_needs_a_match_block)
{
    EXPECT_DEATH(
        {
            icapd_config cfg;
            cfg.add_override<bool>(block_id::chats, true);
        },
        "!mb.empty\\(\\)");
}

}  // namespace
