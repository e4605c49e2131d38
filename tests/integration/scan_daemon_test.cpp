// The daemon with the stand-in scanning daemon: verdict headers and pages,
// path and stream modes over a local socket and TCP, misbehaving scanners.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/daemon_harness.h"
#include "integration/scan_standin.h"

namespace {

const std::string req_hdr = "GET /dir/file.bin HTTP/1.1\r\nHost: www.example.org\r\n\r\n";

std::string chunk(const std::string& data)
{
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

std::string respmod(const std::string& body, bool allow_204 = false)
{
    std::string res = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                      + std::to_string(body.size()) + "\r\n\r\n";
    std::string head = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\n";
    if (allow_204)
        head += "Allow: 204\r\n";
    head += "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req_hdr.size())
            + ", res-body=" + std::to_string(req_hdr.size() + res.size()) + "\r\n\r\n";
    return head + req_hdr + res + chunk(body) + "0\r\n\r\n";
}

const std::string options = "OPTIONS icap://127.0.0.1/x ICAP/1.0\r\n\r\n";

class scan_daemon : public ::testing::Test {
protected:
    daemon_harness daemon;
    std::unique_ptr<standin_process> scanner;

    void SetUp() override { signal(SIGPIPE, SIG_IGN); }

    void start(const std::vector<std::string>& scanner_args, const std::string& settings,
               bool over_tcp = false)
    {
        scanner.reset();   // the old one removes its socket and pid file
        scanner = std::make_unique<standin_process>(daemon.dir(), scanner_args);
        ASSERT_TRUE(scanner->ready());
        daemon.write_config("[Vorex]\nVorexAddress = "
                            + (over_tcp ? scanner->inet_address() : scanner->local_address())
                            + "\n" + settings);
        ASSERT_TRUE(daemon.start()) << daemon.log();
    }
};

TEST_F(scan_daemon, IstagCountsTheVirusRecords)
{
    start({"--records", "500"}, "");
    std::string reply = daemon.exchange(options);
    EXPECT_NE(reply.find("\r\nISTAG: \"vorex-icapd6.0=501\"\r\n\r\n"), std::string::npos) << reply;
}

TEST_F(scan_daemon, EicarVerdictsInPathAndStreamModes)
{
    const std::string cured = "\r\nX-Infection-Found: Type=0; Resolution=1; Threat=EICAR-Test-File;";
    const std::string incurable = "\r\nX-Infection-Found: Type=0; Resolution=0; Threat=EICAR-Test-File;";
    // Only path mode names a file in the report lines, so only it yields violations.
    struct { bool tcp; bool local_scan; const char* infected; std::string headers; const char* body; } cases[] = {
        {false, true, "cure",
         cured + "\r\nX-Violations-Found: 1\r\n\tfile.bin\r\n\tEICAR-Test-File\r\n\t100\r\n\t1\r\nISTAG",
         "head  tail"},
        {true, false, "cure", cured + "\r\nISTAG", "head  tail"},
        {false, true, "report",
         incurable + "\r\nX-Violations-Found: 1\r\n\tfile.bin\r\n\tEICAR-Test-File\r\n\t20\r\n\t0\r\nISTAG",
         "<title>Access denied</title>"},
        {true, false, "report", incurable + "\r\nISTAG", "<title>Access denied</title>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.infected) + (c.tcp ? " tcp" : " local"));
        daemon.stop();
        start({}, std::string("[Actions]\nInfected = ") + c.infected + "\nLocalScan = "
                      + (c.local_scan ? "yes" : "no") + "\n", c.tcp);
        std::string reply = daemon.exchange(respmod("head " + eicar() + " tail", true));
        EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << reply;
        EXPECT_NE(reply.find("\r\nX-Virus-ID: EICAR-Test-File" + c.headers), std::string::npos)
            << reply;
        EXPECT_NE(reply.find(c.body), std::string::npos) << reply;
        EXPECT_EQ(reply.find(eicar()), std::string::npos);
    }
}

// Proxies send OPTIONS first: the scanner connection it opens (for the
// virus count) is kept, and a scan on it still follows LocalScan.
TEST_F(scan_daemon, OptionsFirstKeepsTheConfiguredScanMode)
{
    for (bool local_scan : {false, true}) {
        SCOPED_TRACE(local_scan ? "path" : "stream");
        daemon.stop();
        daemon_harness::write_file(daemon.log_path(), "");
        start({}, std::string("LocalScan = ") + (local_scan ? "yes" : "no") + "\n");
        int fd = daemon.connect();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(daemon_harness::send_all(fd, options));
        EXPECT_EQ(daemon_harness::read_until(fd, "\r\n\r\n").rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
        ASSERT_TRUE(daemon_harness::send_all(fd, respmod("nothing to see", true)));
        EXPECT_EQ(daemon_harness::read_until(fd, "\r\n\r\n").rfind("ICAP/1.0 204", 0), 0u);
        close(fd);
        const std::string log = daemon.log();
        EXPECT_NE(log.find(local_scan ? "url to be scanned (send only path)" : "url to be scanned (send all file)"),
                  std::string::npos) << log;
        EXPECT_EQ(log.find(local_scan ? "url to be scanned (send all file)" : "url to be scanned (send only path)"),
                  std::string::npos);
    }
}

TEST_F(scan_daemon, PreviewAsksForTheRestBeforeScanning)
{
    start({}, "");
    const std::string body = "head " + eicar() + " tail";
    std::string res = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                      + std::to_string(body.size()) + "\r\n\r\n";
    std::string head = "RESPMOD icap://127.0.0.1/respmod ICAP/1.0\r\nHost: 127.0.0.1\r\nPreview: 4\r\n"
                       "Allow: 204\r\nEncapsulated: req-hdr=0, res-hdr=" + std::to_string(req_hdr.size())
                       + ", res-body=" + std::to_string(req_hdr.size() + res.size()) + "\r\n\r\n";
    int fd = daemon.connect();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(daemon_harness::send_all(fd, head + req_hdr + res + chunk(body.substr(0, 4)) + "0\r\n\r\n"));
    EXPECT_EQ(daemon_harness::read_until(fd, "\r\n\r\n").rfind("ICAP/1.0 100 Continue\r\n", 0), 0u);
    ASSERT_TRUE(daemon_harness::send_all(fd, chunk(body.substr(4)) + "0\r\n\r\n"));
    std::string reply = daemon_harness::read_until(fd, "0\r\n\r\n");
    close(fd);
    EXPECT_NE(reply.find("Resolution=1; Threat=EICAR-Test-File;"), std::string::npos) << reply;
    EXPECT_NE(reply.find("head  tail"), std::string::npos) << reply;
}

TEST_F(scan_daemon, MoveToQuarantineAndMailTheHostmaster)
{
    std::filesystem::create_directories(daemon.path("q"));
    start({}, "Infected = report\nIncurable = move\nPathToQuarantine = " + daemon.path("q") + "\nSendMail = yes\n"
                  "Hostmaster = admin\nMailCommand = \"cat >> " + daemon.path("mail-%s") + "\"\n");
    for (int i = 0; i < 2; ++i) {
        std::string reply = daemon.exchange(respmod("sample " + eicar(), true));
        EXPECT_NE(reply.find("<title>Access denied: content quarantined</title>"), std::string::npos)
            << reply;
    }
    const std::string quarantined = daemon.path("q") + "/www.example.org|dir|file.bin";
    EXPECT_EQ(daemon_harness::read_file(quarantined), "sample " + eicar()) << daemon.log();
    EXPECT_EQ(daemon_harness::read_file(quarantined + ".1"), "sample " + eicar());
    // The second notification about the same URL is merged into the first.
    std::string mail = daemon_harness::read_file(daemon.path("mail-admin"));
    EXPECT_NE(mail.find("File is infected and cannot be cured!"), std::string::npos) << daemon.log();
    EXPECT_EQ(mail.find("To: admin"), mail.rfind("To: admin"));
}

TEST_F(scan_daemon, CleanBodyIsNotChanged)
{
    start({}, "");
    std::string reply = daemon.exchange(respmod("nothing to see", true));
    EXPECT_EQ(reply.rfind("ICAP/1.0 204", 0), 0u) << reply;
}

TEST_F(scan_daemon, MisbehavingScannerFailsClosedAndTheDaemonServesOn)
{
    for (const char* mode : {"refuse", "stall", "close-mid-answer", "absurd-count", "absurd-length"}) {
        SCOPED_TRACE(mode);
        daemon.stop();
        start({"--misbehave", mode}, "[Daemon]\nTimeout = 2\n");
        std::string reply = daemon.exchange(respmod("head " + eicar() + " tail", true), 10000);
        EXPECT_EQ(reply.rfind("ICAP/1.0 200 OK\r\n", 0), 0u) << reply;
        EXPECT_NE(reply.find("<title>Content could not be checked</title>"), std::string::npos) << reply;
        EXPECT_EQ(reply.find(eicar()), std::string::npos);
        EXPECT_EQ(daemon.exchange(options).rfind("ICAP/1.0 200 OK\r\n", 0), 0u);
        EXPECT_TRUE(daemon.running());
    }
}

} // namespace
