// The client against the stand-in scanning daemon, over a local socket and TCP.

#include "scan/scan_session.h"
#include "scan/vrx_verdict.h"
#include "scan_fixture.h"

#include <filesystem>

using namespace scan_test;

namespace {

const std::string clean_text = "just some harmless bytes\n";

class scan_standin : public scan_fixture {};

TEST_F(scan_standin, CleanBodyInPathAndStreamModesOverLocalAndTcp)
{
    start_standin();
    const auto local = g_config.daemon_addresses;
    const auto inet = daemon_address_list{inet_address(standin_inet_port)};
    struct { bool local_scan; daemon_address_list addresses; std::string object; } cases[] = {
        {true, local, "path"}, {false, local, "DATA"}, {true, inet, "path"}, {false, inet, "DATA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.object + (c.addresses[0].type == DAEMON_ADDR_INET ? " inet" : " local"));
        g_config.local_scan = c.local_scan;
        g_config.daemon_addresses = c.addresses;
        make_body(clean_text);
        EXPECT_EQ(vrx_scan_file(entity, request, &fd), 200);
        std::string object = c.object == "path" ? entity.temp_path : "DATA";
        EXPECT_EQ(greport.report, std::vector<std::string>{object + " Ok"});
        EXPECT_TRUE(request.viruses_list.empty());
        EXPECT_GE(fd, 0);   // kept for the next request
        close(fd);
        fd = -1;
    }
}

TEST_F(scan_standin, EicarIsCuredInBothModes)
{
    start_standin();
    for (bool local_scan : {true, false}) {
        SCOPED_TRACE(local_scan ? "path" : "stream");
        g_config.local_scan = local_scan;
        make_body("head " + eicar() + " tail");
        EXPECT_EQ(vrx_scan_file(entity, request, &fd), 3);
        EXPECT_EQ(body(), "head  tail");
        EXPECT_EQ(entity.size, 10u);
        EXPECT_EQ(vrx_action_text(), "Cure");
        EXPECT_EQ(request.resolution, 1);
        ASSERT_EQ(request.viruses_list.size(), 1u);
        EXPECT_EQ(request.viruses_list[0].name, "EICAR-Test-File");
        EXPECT_EQ(request.viruses_list[0].type, 1);
        // A streamed cured object ends the connection; path mode keeps it.
        EXPECT_EQ(fd >= 0, local_scan);
        if (fd >= 0)
            close(fd);
        fd = -1;
        request.viruses_list.clear();
    }
    EXPECT_EQ(log_count("File is cured from known virus!: pass"), 2u);
}

TEST_F(scan_standin, InfectedWithoutCureFollowsIncurable)
{
    start_standin();
    g_config.infected = action_report;
    g_config.scan_options &= ~scan_option_cure;
    make_body(eicar());
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 4);
    EXPECT_EQ(body(), "[/ERR_ACCESS_DENIED]");
    EXPECT_EQ(request.resolution, 0);
    EXPECT_EQ(log_count("File is infected and cannot be cured!: report\n"), 1u);
    EXPECT_EQ(log_count("url:[http://example.com/dir/file.exe], client_ip:[10.0.0.1], code=0x20, "
                        "size=1k, viruses:[EICAR-Test-File]"), 1u);
}

TEST_F(scan_standin, EachCategoryTakesItsAction)
{
    start_standin({"--signature", "suspicious:Sus.Gen,S:SIG-SUSPICIOUS",
                   "--signature", "archive:Bomb.Zip,A:SIG-ARCHIVE",
                   "--signature", "adware:Ad.Ware,A:SIG-ADWARE",
                   "--signature", "joke:Fun.Joke,J:SIG-JOKE",
                   "--signature", "hacktool:Tool.Hack,H:SIG-HACKTOOL",
                   "--signature", "skip:Locked,K:SIG-SKIP",
                   "--signature", "incurable:Worm.Bad,K:SIG-INCURABLE"});
    struct {
        const char* signature;
        int32_t icapd_config::*setting;
        int32_t action;
        int result;
        const char* body;   // nullptr: unchanged
        int32_t infection_type;
    } cases[] = {
        {"SIG-SUSPICIOUS", &icapd_config::suspicious, action_report, 4, "[/ERR_ACCESS_DENIED]", 0},
        {"SIG-ARCHIVE", &icapd_config::archive_restriction, action_report, 4, "[/ERR_FAILED_CHECK]", 2},
        {"SIG-ADWARE", &icapd_config::adware, action_truncate, 3, "", 0},
        {"SIG-JOKE", &icapd_config::jokes, action_pass, 3, nullptr, 0},
        {"SIG-SKIP", &icapd_config::skip_object, action_report, 4, "[/ERR_FAILED_CHECK]", 2},
        {"SIG-INCURABLE", &icapd_config::incurable, action_truncate, 3, "", 0},
        {"SIG-HACKTOOL", &icapd_config::hacktools, action_move, 4, "[/ERR_ACCESS_DENIED_MOVED]", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signature);
        default_settings();
        g_config.*(c.setting) = c.action;
        std::string content = std::string("x ") + c.signature + " y";
        make_body(content);
        request.viruses_list.clear();
        EXPECT_EQ(vrx_scan_file(entity, request, &fd), c.result);
        EXPECT_EQ(body(), c.body ? c.body : content);
        EXPECT_EQ(request.infection_type, c.infection_type);
        EXPECT_EQ(request.viruses_list.size(), 1u);
    }
    EXPECT_EQ(read_file(quarantine + "/http:||example.com|dir|file.exe"), "x SIG-HACKTOOL y");
}

TEST_F(scan_standin, QuarantineNeverReplacesAnEarlierFile)
{
    start_standin();
    g_config.infected = action_move;
    g_config.scan_options &= ~scan_option_cure;
    g_config.incurable = action_move;
    g_config.quarantine_files_mode = 0600;
    const std::string base = quarantine + "/http:||example.com|dir|file.exe";
    for (const char* content : {"first ", "second "}) {
        make_body(content + eicar());
        EXPECT_EQ(vrx_scan_file(entity, request, &fd), 4);
        EXPECT_EQ(body(), "[/ERR_ACCESS_DENIED_MOVED]");
    }
    EXPECT_EQ(read_file(base), "first " + eicar());
    EXPECT_EQ(read_file(base + ".1"), "second " + eicar());
    EXPECT_EQ(std::filesystem::status(base + ".1").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(log_count("File is infected and cannot be cured!: quarantine to file " + base + ".1\n"),
              1u);
}

TEST_F(scan_standin, LocalModeFallsBackWhenTheFirstAddressIsDown)
{
    start_standin();
    g_config.daemon_addresses = {local_address(standin_socket), inet_address(standin_inet_port)};
    const std::string off = standin_socket + ".off";
    std::filesystem::rename(standin_socket, off);
    make_body(clean_text);
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 200);
    EXPECT_EQ(greport.report, std::vector<std::string>{"DATA Ok"});   // streamed to TCP
    EXPECT_EQ(log_count("turn off local scan mode - was error to connect on first object\n"), 1u);
    close(fd);
    fd = -1;
    // The next connection starts again from LocalScan and the first address.
    std::filesystem::rename(off, standin_socket);
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 200);
    EXPECT_EQ(greport.report, std::vector<std::string>{entity.temp_path + " Ok"});
    EXPECT_TRUE(local_scan_in_effect());
    EXPECT_EQ(log_count("turn off local scan mode"), 1u);
}

TEST_F(scan_standin, KeptConnectionClosedByARestartIsReopened)
{
    start_standin();
    make_body(clean_text);
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 200);
    ASSERT_GE(fd, 0);
    start_standin();   // the old connection is closed by the scanner
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 200);
    EXPECT_EQ(greport.report, std::vector<std::string>{entity.temp_path + " Ok"});
    EXPECT_EQ(vrx_get_virus_num(&fd), 200);
}

TEST_F(scan_standin, EveryMisbehaviourFailsClosed)
{
    set_timeout(1);
    for (const char* mode :
         {"refuse", "stall", "close-mid-answer", "absurd-count", "absurd-length"}) {
        for (bool local_scan : {true, false}) {
            SCOPED_TRACE(std::string(mode) + (local_scan ? " path" : " stream"));
            start_standin({"--misbehave", mode});
            g_config.local_scan = local_scan;
            make_body(eicar());
            EXPECT_EQ(vrx_scan_file(entity, request, &fd), 4);
            EXPECT_EQ(body(), "[/ERR_FAILED_CHECK]");
            EXPECT_EQ(request.infection_type, 2);
            EXPECT_EQ(fd, -1);   // the next command reconnects
        }
    }
    EXPECT_EQ(log_count("read: timeout error (after 1 seconds)\n"), 2u);
}

TEST_F(scan_standin, ShortCuredObjectLeavesTheBody)
{
    start_standin({"--misbehave", "short-cure"});
    g_config.local_scan = false;
    g_config.daemon_error = action_pass;
    const std::string content = "a " + eicar() + " b";
    make_body(content);
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 3);
    EXPECT_EQ(body(), content);
    EXPECT_EQ(request.infection_type, 2);
    EXPECT_EQ(fd, -1);
    // No partial object is left in the cache.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cache),
                            std::filesystem::directory_iterator()), 1);
}

TEST_F(scan_standin, VirusBasesAndInformation)
{
    start_standin({"--records", "500"});
    EXPECT_EQ(vrx_get_virus_num(&fd), 200);
    EXPECT_EQ(virus_total, 501u);   // 500 records and the EICAR signature
    EXPECT_EQ(vrx_get_info(&fd), 200);
    EXPECT_EQ(daemon_info, "Vorex stand-in scanner 1.0 (test aid), 501 records");
    close(fd);
    fd = -1;

    start_standin({"--misbehave", "absurd-count"});
    virus_total = 7;
    EXPECT_EQ(vrx_get_virus_num(&fd), 0);
    EXPECT_EQ(virus_total, 7u);   // the old total stays
    EXPECT_EQ(fd, -1);
}

TEST_F(scan_standin, NoScannerFailsClosedButAnEmptyBodyIsNotSent)
{
    g_config.daemon_addresses = {local_address(dir + "/nobody.sock")};
    make_body("");
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 200);
    make_body(clean_text);
    EXPECT_EQ(vrx_scan_file(entity, request, &fd), 4);
    EXPECT_EQ(body(), "[/ERR_FAILED_CHECK]");
    EXPECT_EQ(fd, -1);
}

} // namespace
