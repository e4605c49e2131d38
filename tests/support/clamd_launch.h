#pragma once
// A private clamd for tests: its own folder with a database the test
// writes (EICAR as an .hdb line and as an .ndb body rule, marker
// signatures named like each verdict class, a versioned .cud), a local
// socket and a free loopback TCP port. Started and stopped by the test;
// the folder goes with the object.

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/free_port.h"
#include "support/temp_folder.h"

// Bodies that the private clamd recognises, and the names it reports.
namespace clamd_sample {
inline std::string eicar()
{
    // Split so that this source is not flagged itself.
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}
// The whole EICAR file is matched by its hash, EICAR after the first byte
// by the body rule.
const char* const eicar_hash_name = "Test.EICAR.HDB.UNOFFICIAL";
const char* const eicar_body_name = "Test.EICAR.NDB.UNOFFICIAL";
struct marker {
    const char* text;   // found anywhere in a body
    const char* name;   // what clamd reports
};
const marker encrypted{"VRX-MARKER-ENCRYPTED", "Heuristics.Encrypted.Test.UNOFFICIAL"};
const marker suspicious{"VRX-MARKER-SUSPICIOUS", "Heuristics.Phishing.Test.UNOFFICIAL"};
const marker adware{"VRX-MARKER-ADWARE", "PUA.Win.Adware.Test.UNOFFICIAL"};
const marker hacktool{"VRX-MARKER-HACKTOOL", "PUA.Win.Tool.Test.UNOFFICIAL"};
const marker riskware{"VRX-MARKER-RISKWARE", "PUA.Win.Packer.Test.UNOFFICIAL"};
const marker virus{"VRX-MARKER-VIRUS", "Test.Marker.Virus.UNOFFICIAL"};
// clamd's limits: a file over max_file_size is reported as
// Heuristics.Limits.Exceeded, a stream over stream_max_length refused.
constexpr size_t max_file_size = 2 * 1024 * 1024;
constexpr size_t stream_max_length = 3 * 1024 * 1024;

struct limits {
    size_t max_file_size = clamd_sample::max_file_size;
    size_t stream_max_length = clamd_sample::stream_max_length;
    size_t max_scan_size = 100 * 1024 * 1024;
};
// Debian's clamd.conf: MaxFileSize and StreamMaxLength 25M, MaxScanSize 100M.
const limits debian_limits{25 * 1024 * 1024, 25 * 1024 * 1024, 100 * 1024 * 1024};
}

class clamd_process {
public:
    explicit clamd_process(unsigned database_version = 1, clamd_sample::limits limits = {})
        : limits_(limits)
    {
        std::filesystem::create_directories(folder_.file("db"));
        std::filesystem::create_directories(folder_.file("cud"));
        port_ = free_loopback_port();
        write_database(database_version);
        folder_.write("clamd.conf", config());
    }
    ~clamd_process() { stop(); }
    clamd_process(const clamd_process&) = delete;
    clamd_process& operator=(const clamd_process&) = delete;

    // Starts clamd and waits up to 20 s until it answers PING on both
    // sockets.
    bool start()
    {
        stop();
        pid_ = fork();
        if (pid_ == 0) {
            const std::string conf = folder_.file("clamd.conf");
            // clamd also copies its log to the terminal.
            int out = open(folder_.file("clamd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execlp("clamd", "clamd", "--foreground", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 400 && pid_ > 0; ++i) {
            if (command("zPING", false) == "PONG" && command("zPING", true) == "PONG")
                return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                pid_ = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // SIGTERM, then SIGKILL after 10 s.
    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool running() const { return pid_ > 0; }

    std::string socket_path() const { return folder_.file("clamd.sock"); }
    std::string local_address() const { return "local:" + socket_path(); }
    std::string inet_address() const { return "inet:" + std::to_string(port_) + "@127.0.0.1"; }

    // A new .cud of `version` and a RELOAD; true once VERSION shows it.
    bool reload_database(unsigned version)
    {
        if (!write_database(version) || command("zRELOAD", false) != "RELOADING")
            return false;
        const std::string wanted = "/" + std::to_string(version) + "/";
        for (int i = 0; i < 200; ++i) {
            if (command("zVERSION", false).find(wanted) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // One z-command outside a session; its reply without the NUL, empty
    // when clamd does not answer within 5 s.
    std::string command(const std::string& name, bool over_tcp) const
    {
        int fd = over_tcp ? socket(AF_INET, SOCK_STREAM, 0) : socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0)
            return "";
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        bool connected;
        if (over_tcp) {
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(port_));
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connected = connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
        } else {
            sockaddr_un sun{};
            sun.sun_family = AF_UNIX;
            socket_path().copy(sun.sun_path, sizeof sun.sun_path - 1);
            connected = connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0;
        }
        std::string reply;
        if (connected && send(fd, name.c_str(), name.size() + 1, MSG_NOSIGNAL) == ssize_t(name.size() + 1)) {
            char buffer[512];
            ssize_t n;
            while (reply.find('\0') == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                reply.append(buffer, static_cast<size_t>(n));
        }
        close(fd);
        return reply.substr(0, reply.find('\0'));
    }

private:
    static std::string hex(const std::string& text)
    {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (unsigned char c : text) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        return out;
    }

    // Signatures as plain files; the version comes from an unsigned .cud
    // built by sigtool, which holds one signature of its own.
    bool write_database(unsigned version) const
    {
        using clamd_sample::marker;
        folder_.write("db/test.hdb", "44d88612fea8a8f36de82e1278abb02f:68:Test.EICAR.HDB\n");
        std::string ndb = "Test.EICAR.NDB:0:1,1000000000:" + hex(clamd_sample::eicar()) + "\n";
        for (const marker& m : {clamd_sample::encrypted, clamd_sample::suspicious, clamd_sample::adware,
                                clamd_sample::hacktool, clamd_sample::riskware, clamd_sample::virus}) {
            std::string name = m.name;
            ndb += name.substr(0, name.rfind(".UNOFFICIAL")) + ":0:*:" + hex(m.text) + "\n";
        }
        folder_.write("db/test.ndb", ndb);
        folder_.write("cud/COPYING", "test database\n");
        folder_.write("cud/daily.ndb", "Test.Version.Marker:0:*:" + hex("VRX-DATABASE-VERSION") + "\n");
        const std::string build = "cd " + folder_.file("cud")
                                  + " && rm -f daily.cud daily.info && echo test | sigtool --datadir=. --unsigned"
                                    " --build=daily.cud --cvd-version=" + std::to_string(version)
                                  + " --no-cdiff >sigtool.log 2>&1 && mv daily.cud ../db/daily.cud";
        return system(build.c_str()) == 0;
    }

    std::string config() const
    {
        return "LocalSocket " + socket_path() + "\nFixStaleSocket yes\nTCPSocket " + std::to_string(port_)
               + "\nTCPAddr 127.0.0.1\nPidFile " + folder_.file("clamd.pid") + "\nDatabaseDirectory "
               + folder_.file("db") + "\nTemporaryDirectory " + folder_.path() + "\nLogFile "
               + folder_.file("clamd.log") + "\nForeground yes\nMaxThreads 4\nBytecode no\nDetectPUA yes\n"
               + "SelfCheck 3600\nStreamMaxLength " + std::to_string(limits_.stream_max_length) + "\nMaxFileSize "
               + std::to_string(limits_.max_file_size) + "\nMaxScanSize " + std::to_string(limits_.max_scan_size)
               + "\nAlertExceedsMax yes\n";
    }

    clamd_sample::limits limits_;
    temp_folder folder_{"vrx_clamd"};
    int port_ = 0;
    pid_t pid_ = -1;
};
