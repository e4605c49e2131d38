#pragma once
// Shared fixture of the scanning tests: a private folder with cache,
// templates and quarantine, a captured log, default settings, a body entity,
// and the stand-in scanning daemon run as a child process.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/log.h"
#include "base/socket_io.h"
#include "request/request_state.h"
#include "scan/scan_report.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"
#include "support/standin_launch.h"

namespace scan_test {

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The EICAR test string, split so that this source is not flagged itself.
inline std::string eicar()
{
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

const char* const template_names[] = {"/ERR_ACCESS_DENIED", "/ERR_ACCESS_DENIED_MOVED",
                                      "/ERR_FAILED_CHECK", "/ERR_DOWNLOAD_BLOCK"};

class scan_fixture : public ::testing::Test {
protected:
    std::string dir;
    std::string cache;
    std::string quarantine;
    std::string log_path;
    std::string standin_socket;
    std::string standin_inet_port;
    pid_t standin_pid = -1;
    int fd = -1;
    entity_record entity;
    request_state request;

    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);   // as in the daemon's processes
        char tmpl[] = "/tmp/vrx_scan_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        cache = dir + "/cache/";
        quarantine = dir + "/quarantine";
        std::filesystem::create_directories(cache);
        std::filesystem::create_directories(quarantine);
        std::filesystem::create_directories(dir + "/templates");
        // Each page names its template, so a body shows which page it got.
        for (const char* name : template_names)
            write_file(dir + "/templates" + name, std::string("[") + name + "]");
        log_path = dir + "/log";
        log_set_options(0x7f, 8, 6);
        log_set_target(log_path);
        g_config.daemon_addresses.clear();
        default_settings();
        greport.report.clear();
        request.url = "http://example.com/dir/file.exe";
        request.client_ip = "10.0.0.1";
    }

    // Defaults with the test folders; the daemon addresses stay.
    void default_settings()
    {
        daemon_address_list addresses = g_config.daemon_addresses;
        g_config = icapd_config();
        g_config.daemon_addresses = addresses;
        g_config.cache = cache;
        g_config.templates = dir + "/templates";
        g_config.path_to_quarantine = quarantine;
        set_timeout(2);
        g_config.scan_options = scan_options_default | scan_option_heuristic;
    }

    void set_timeout(int32_t seconds)
    {
        g_config.timeout = seconds;
        socket_io_set_timeout(seconds);
    }

    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        stop_standin();
        entity.release();
        log_suspend();
        if (!getenv("VRX_KEEP"))
            std::filesystem::remove_all(dir);
        g_config = icapd_config();
        socket_io_set_timeout(g_config.timeout);
    }

    void make_body(const std::string& content)
    {
        entity.release();
        entity.name = "res-body";
        entity.temp_path = cache + "body.XXXXXX";
        int tfd = mkstemp(&entity.temp_path[0]);
        ASSERT_GE(tfd, 0);
        entity.file = fdopen(tfd, "w+");
        fwrite(content.data(), 1, content.size(), entity.file);
        fflush(entity.file);
        entity.size = content.size();
    }

    std::string body() const { return read_file(entity.temp_path); }
    std::string log_text() const { return read_file(log_path); }
    size_t log_count(const std::string& text) const
    {
        std::string log = log_text();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }

    // Starts the stand-in on a local socket and a free TCP port with the
    // extra arguments, and points VorexAddress at the local socket.
    void start_standin(const std::vector<std::string>& extra = {})
    {
        stop_standin();
        standin_socket = dir + "/standin.sock";
        std::string pid_file = dir + "/standin.pid";
        standin_pid = spawn_standin(standin_socket, pid_file, extra);
        ASSERT_GE(standin_pid, 0);
        ASSERT_TRUE(read_standin_port(pid_file, standin_inet_port)) << "stand-in did not start";
        g_config.daemon_addresses = {local_address(standin_socket)};
    }

    void stop_standin()
    {
        if (standin_pid > 0) {
            kill(standin_pid, SIGTERM);
            waitpid(standin_pid, nullptr, 0);
        }
        standin_pid = -1;
    }

    static DaemonAddress local_address(const std::string& path)
    {
        DaemonAddress a;
        a.type = DAEMON_ADDR_LOCAL;
        a.host = path;
        return a;
    }
    static DaemonAddress inet_address(const std::string& port)
    {
        DaemonAddress a;
        a.type = DAEMON_ADDR_INET;
        a.host = "127.0.0.1";
        a.serv = port;
        return a;
    }
};

} // namespace scan_test
