// The verdict of each result code and the actions on the body file.

#include "scan/file_with_path.h"
#include "scan/vrx_verdict.h"
#include "scan_fixture.h"

#include <stdexcept>

using namespace scan_test;

namespace {

class verdict : public scan_fixture {};

TEST_F(verdict, ResultCodesInTheirOrder)
{
    // Every category reports, so the page shows which row decided.
    for (int32_t icapd_config::*s :
         {&icapd_config::incurable, &icapd_config::suspicious, &icapd_config::adware,
          &icapd_config::dialers, &icapd_config::jokes, &icapd_config::riskware,
          &icapd_config::hacktools, &icapd_config::archive_restriction,
          &icapd_config::daemon_error, &icapd_config::skip_object})
        g_config.*s = action_report;
    struct { uint32_t code; int result; const char* page; int32_t type; int32_t resolution;
             const char* action; const char* reason; } cases[] = {
        {0x120, 3, nullptr, 0, 1, "Cure", "File is cured from known virus!"},
        {0x80080, 3, nullptr, 0, 1, "Cure", "File is cured from known virus!"},
        {0x20, 4, "[/ERR_ACCESS_DENIED]", 0, 0, "Report", "File is infected and cannot be cured!"},
        {0x46040, 4, "[/ERR_ACCESS_DENIED]", 0, 0, "Report", "File is cured from an unknown virus!"},
        {0x2000, 4, "[/ERR_FAILED_CHECK]", 2, 2, "Report", "Archive restriction!"},
        {0x8017, 4, "[/ERR_FAILED_CHECK]", 2, 2, "Report",
         "Daemon error has occured during check of this file!"},
        {0x800, 4, "[/ERR_FAILED_CHECK]", 2, 2, "Report",
         "Skip object error has occured during check of this file!"},
        {0x400000, 4, "[/ERR_ACCESS_DENIED]", 0, 0, "Report", "This is adware program!"},
        {0x800000, 4, "[/ERR_ACCESS_DENIED]", 0, 0, "Report", "This is dialer program!"},
        {0x1000000, 4, "[/ERR_ACCESS_DENIED]", 0, 0, "Report", "This is joke program!"},
        {0x2000000, 4, "[/ERR_ACCESS_DENIED]", 0, 0, "Report", "This is riskware program!"},
        {0x4000000, 4, "[/ERR_ACCESS_DENIED]", 0, 0, "Report", "This is hacktool program!"},
        {0x10000100, 200, nullptr, -1, -1, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        make_body("body");
        verdict_reset();
        request.infection_type = request.resolution = -1;
        EXPECT_EQ(vrx_check_result(c.code, entity, request), c.result);
        EXPECT_EQ(body(), c.page ? c.page : "body");
        EXPECT_EQ(request.infection_type, c.type);
        EXPECT_EQ(request.resolution, c.resolution);
        EXPECT_EQ(vrx_action_text(), c.action);
        if (c.reason) {
            EXPECT_EQ(log_count(std::string(c.reason) + ": "), 1u + (c.code == 0x80080));
        }
    }
    EXPECT_EQ(log_count("url:[http://example.com/dir/file.exe]; client_ip:[10.0.0.1]; size=1k - ok\n"),
              1u);
}

TEST_F(verdict, FailedActionReturnsZero)
{
    g_config.templates = dir + "/missing";
    make_body("body");
    EXPECT_EQ(vrx_make_action_on_file(request, entity, action_report, "why", "/ERR_ACCESS_DENIED"), 0);
    EXPECT_EQ(vrx_make_action_on_file(request, entity, 77, "why", "/ERR_ACCESS_DENIED"), 0);
    EXPECT_EQ(log_count("vrx_make_action_on_file: wrong type=77\n"), 1u);
}

TEST_F(verdict, FailedMoveReportsWithTheMovedPage)
{
    struct { std::string folder; int64_t path_max; } cases[] = {
        {dir + "/no/such/folder", 1024},
        {dir, 4},   // no room left for a file name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path_max);
        g_config.path_to_quarantine = c.folder;
        g_config.quarantine_path_max = c.path_max;
        verdict_reset();
        make_body("body");
        EXPECT_EQ(vrx_make_action_on_file(request, entity, action_move, "why", "/ERR_ACCESS_DENIED"), 4);
        EXPECT_EQ(body(), "[/ERR_ACCESS_DENIED_MOVED]");
        EXPECT_EQ(vrx_action_text(), "Report");
    }
    EXPECT_EQ(log_count("why: report\n"), 2u);
}

TEST_F(verdict, PassKeepsAClosedBody)
{
    make_body("keep me");
    fclose(entity.file);
    entity.file = nullptr;
    EXPECT_EQ(vrx_pass_file(entity), 3);
    EXPECT_EQ(entity.size, 7u);
    EXPECT_EQ(body(), "keep me");
}

TEST_F(verdict, QuarantineName)
{
    struct { std::string directory; std::string url; int64_t limit; int64_t name_limit;
             std::string full; } cases[] = {
        {"/q", "http://h/a/b", 1024, 256, "/q/http:||h|a|b"},
        {"/q/", "http://h/a/b", 1024, 256, "/q/http:||h|a|b"},
        {"/q", "http://h/a/b", 8, 256, "/q/http:"},
        {"/q", "http://h/a/b", 1024, 7, "/q/http:||"},   // longer names cannot be made
        {"", "a/b", 1024, 256, "a|b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.full);
        g_config.path_to_quarantine = c.directory;
        g_config.quarantine_path_max = c.limit;
        g_config.quarantine_name_max = c.name_limit;
        request.url = c.url;
        FileWithPath name = quarantine_name_for(request);
        EXPECT_EQ(name.full_name(), c.full);
        EXPECT_EQ(name.file_name(), c.full.substr(c.full.rfind('/') + 1));
    }
    // A numeric suffix still fits into the name limit.
    EXPECT_EQ(FileWithPath("/q", "abcdef").with_suffix(".1", 6).full_name(), "/q/abcd.1");
    EXPECT_EQ(FileWithPath("/q", "abcdef").with_suffix(".1", 256).full_name(), "/q/abcdef.1");
    g_config.path_to_quarantine = "/quarantine";
    g_config.quarantine_path_max = 12;
    EXPECT_THROW(quarantine_name_for(request), std::range_error);
    EXPECT_THROW(FileWithPath().full_name(), std::logic_error);
}

} // namespace
