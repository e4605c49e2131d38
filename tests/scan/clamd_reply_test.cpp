// clamd's replies read as result codes of the verdict table.

#include <gtest/gtest.h>

#include "scan/clamd_reply.h"
#include "scan/vrx_verdict.h"

namespace {

TEST(clamd_reply, scan_replies)
{
    const struct {
        const char* reply;
        bool usable;
        uint32_t code;
        const char* threat;
    } cases[] = {
        {"stream: OK", true, clamd_code::clean, ""},
        {"fd[10]: OK", true, clamd_code::clean, ""},
        {"stream: Win.Test.EICAR_HDB-1 FOUND", true, clamd_code::infected, "Win.Test.EICAR_HDB-1"},
        {"fd[12]: Heuristics.Limits.Exceeded.MaxFileSize FOUND", true, clamd_code::skipped,
         "Heuristics.Limits.Exceeded.MaxFileSize"},
        {"stream: Heuristics.Encrypted.Zip FOUND", true, clamd_code::archive, "Heuristics.Encrypted.Zip"},
        {"stream: Heuristics.Phishing.Email.SpoofedDomain FOUND", true, clamd_code::suspicious,
         "Heuristics.Phishing.Email.SpoofedDomain"},
        {"stream: PUA.Win.Adware.Agent-1 FOUND", true, clamd_code::adware, "PUA.Win.Adware.Agent-1"},
        {"stream: PUA.Win.Tool.Netcat-2 FOUND", true, clamd_code::hacktool, "PUA.Win.Tool.Netcat-2"},
        {"stream: PUA.Win.Packer.Upx-3 FOUND", true, clamd_code::riskware, "PUA.Win.Packer.Upx-3"},
        // Only the prefixes count: these are ordinary threats.
        {"stream: Win.Adware.Heuristics.X FOUND", true, clamd_code::infected, "Win.Adware.Heuristics.X"},
        {"INSTREAM size limit exceeded. ERROR", true, clamd_code::skipped, ""},
        {"fd[10]: lstat() failed: No such file or directory. ERROR", false, 0, ""},
        {"Command invalid inside IDSESSION. ERROR", false, 0, ""},
        {"COMMAND READ TIMED OUT", false, 0, ""},
        {"stream: FOUND", false, 0, ""},
        {"stream:", false, 0, ""},
        {"", false, 0, ""},
    };
    for (const auto& c : cases) {
        clamd_scan_answer answer = clamd_read_scan_reply(c.reply);
        EXPECT_EQ(answer.usable, c.usable) << c.reply;
        if (!c.usable)
            continue;
        EXPECT_EQ(answer.code, c.code) << c.reply;
        EXPECT_EQ(answer.threat, c.threat) << c.reply;
    }
}

// Every finding lands on a verdict row of its own, never on the
// daemon-error row.
TEST(clamd_reply, codes_stay_off_the_daemon_error_row)
{
    for (uint32_t code : {clamd_code::infected, clamd_code::suspicious, clamd_code::archive,
                          clamd_code::skipped, clamd_code::adware, clamd_code::riskware,
                          clamd_code::hacktool})
        EXPECT_EQ(code & code_daemon_error, 0u) << std::hex << code;
}

TEST(clamd_reply, database_version_and_numbered_replies)
{
    EXPECT_EQ(clamd_database_version("ClamAV 1.4.6/27100/Thu Dec 10 03:02:35 2026"), 27100u);
    EXPECT_EQ(clamd_database_version("ClamAV 1.4.6"), 0u);
    EXPECT_EQ(clamd_database_version("ClamAV 1.4.6/"), 0u);
    EXPECT_EQ(clamd_database_version("ClamAV 1.4.6/x/y"), 0u);

    unsigned long number = 0;
    std::string text;
    EXPECT_TRUE(clamd_split_numbered("12: stream: OK", &number, &text));
    EXPECT_EQ(number, 12u);
    EXPECT_EQ(text, "stream: OK");
    for (const char* bad : {"stream: OK", ": OK", "12:OK", "1234567890: OK", ""})
        EXPECT_FALSE(clamd_split_numbered(bad, &number, &text)) << bad;
}

} // namespace
