// E-mail notifications through a MailCommand that stores what it receives.

#include "scan/vrx_mail.h"
#include "scan/vrx_verdict.h"
#include "scan_fixture.h"

#include <filesystem>
#include <utime.h>

using namespace scan_test;

namespace {

class mail : public scan_fixture {
protected:
    std::string mailbox;

    void SetUp() override
    {
        scan_fixture::SetUp();
        mailbox = dir + "/mailbox-admin";
        g_config.send_mail = true;
        g_config.hostmaster = "admin";
        g_config.mail_command = "cat >> " + dir + "/mailbox-%s";
        write_file(dir + "/templates/email.templ",
                   "To: $HOSTMASTER$\nReason: $REASON$\nIP: $IP$\nAction: $ACTION$\n"
                   "Size: $SIZE$\nURL: $url$\nPage: $HTML_PAGE$\nTime: $TIME$\nPrice $5 $UNKNOWN");
        make_body("body");
    }
    size_t mails() const
    {
        std::string box = read_file(mailbox);
        size_t n = 0;
        for (size_t at = box.find("To: admin"); at != std::string::npos; at = box.find("To: ", at + 1))
            ++n;
        return n;
    }
    std::string lock() const { return cache + "lock.http:||example.com|dir|file.exe"; }
};

TEST_F(mail, MessageMacros)
{
    request.client_ip.clear();
    EXPECT_EQ(vrx_report_file(request, entity, "why", "report", "/ERR_ACCESS_DENIED", ""), 200);
    std::string box = read_file(mailbox);
    EXPECT_EQ(box.substr(0, box.find("Time: ")),
              "To: admin\nReason: why\nIP: ?\nAction: report\nSize: 4\n"
              "URL: http://example.com/dir/file.exe\nPage: [/ERR_ACCESS_DENIED]\n");
    // asctime form without its line feed, then text that is not a macro.
    EXPECT_NE(box.find(" 20"), std::string::npos);
    EXPECT_EQ(box.substr(box.size() - 18), "\nPrice $5 $UNKNOWN");
    EXPECT_EQ(log_count("email report to admin sent successfully\n"), 1u);
}

TEST_F(mail, RepeatsWithinMailCacheAreMerged)
{
    g_config.mail_cache = 60;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(vrx_make_action_on_file(request, entity, action_report, "why", "/ERR_ACCESS_DENIED"), 4);
    EXPECT_EQ(mails(), 1u);
    EXPECT_EQ(log_count("file " + lock() + " exist: skip email sending\n"), 1u);
    // A stale lock is replaced and the mail goes out again.
    utimbuf old{time(nullptr) - 120, time(nullptr) - 120};
    ASSERT_EQ(utime(lock().c_str(), &old), 0);
    EXPECT_EQ(vrx_make_action_on_file(request, entity, action_report, "why", "/ERR_ACCESS_DENIED"), 4);
    EXPECT_EQ(mails(), 2u);
    EXPECT_EQ(log_count("Remove old lock file " + lock()), 1u);
    // A pass never mails.
    EXPECT_EQ(vrx_make_action_on_file(request, entity, action_pass, "why", "/ERR_ACCESS_DENIED"), 3);
    EXPECT_EQ(mails(), 2u);
}

TEST_F(mail, NoLockWithoutMailCache)
{
    g_config.mail_cache = 0;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(vrx_report_file(request, entity, "why", "report", "/ERR_ACCESS_DENIED", ""), 200);
    EXPECT_EQ(mails(), 2u);
    EXPECT_FALSE(std::filesystem::exists(lock()));
}

TEST_F(mail, LockNameOfAnExtraName)
{
    EXPECT_EQ(mail_lock_name(request, "bad.example/x/y"), cache + "lock.bad.example|x|y");
    g_config.quarantine_name_max = 20;
    EXPECT_EQ(mail_lock_name(request, "bad.example/x/y").size(), 19u);
}

TEST_F(mail, UnusableObjectNameFailsOnlyTheMail)
{
    g_config.quarantine_path_max = 4;   // shorter than the quarantine folder
    EXPECT_EQ(vrx_report_file(request, entity, "why", "report", "/ERR_ACCESS_DENIED", ""), 0);
    EXPECT_EQ(log_count("vrx_report_file: FileWithPath::trunc(): truncated file name will be too short\n"),
              1u);
}

TEST_F(mail, OnlyTheFirstPercentSIsReplaced)
{
    EXPECT_EQ(mail_command_line("m -f %n %s -- %s %d", "root"), "m -f %n root -- %s %d");
    g_config.mail_command = "cat > '" + dir + "/m-%s-%n-%s'";
    EXPECT_EQ(vrx_report_file(request, entity, "why", "report", "/ERR_ACCESS_DENIED", ""), 200);
    EXPECT_TRUE(std::filesystem::exists(dir + "/m-admin-%n-%s"));
}

TEST_F(mail, CommandInheritsNoFileOfTheWorker)
{
    if (!std::filesystem::exists("/proc/self/fd"))
        GTEST_SKIP() << "no /proc";
    g_config.mail_command = "ls -l /proc/$$/fd > " + dir + "/fds; cat >/dev/null";
    EXPECT_EQ(vrx_make_action_on_file(request, entity, action_truncate, "why", "/ERR_ACCESS_DENIED"), 3);
    std::string fds = read_file(dir + "/fds");
    EXPECT_NE(fds.find("pipe:"), std::string::npos) << fds;
    EXPECT_EQ(fds.find(entity.temp_path), std::string::npos) << fds;
    EXPECT_EQ(fds.find("email.templ"), std::string::npos) << fds;
}

TEST_F(mail, FailedCommandIsAFailureAndFreesTheLock)
{
    g_config.mail_command = "cat >/dev/null; exit 3";
    EXPECT_EQ(vrx_report_file(request, entity, "why", "report", "/ERR_ACCESS_DENIED", ""), 0);
    EXPECT_EQ(log_count("in execute cat >/dev/null; exit 3: exit status 3\n"), 1u);
    EXPECT_FALSE(std::filesystem::exists(lock()));
    // A command that stops reading at once fails the mail without taking
    // the worker down.
    g_config.mail_command = "exit 0";
    write_file(dir + "/templates/email.templ", std::string(1 << 20, 'x'));
    EXPECT_EQ(vrx_report_file(request, entity, "why", "report", "/ERR_ACCESS_DENIED", ""), 0);
    EXPECT_EQ(log_count("writing to pipe: "), 1u);
}

} // namespace
