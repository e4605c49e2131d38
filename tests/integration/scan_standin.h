#pragma once
// The stand-in scanning daemon as a child process of an integration test,
// on a local socket and a free TCP port, with the EICAR test string.

#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "integration/daemon_harness.h"

inline std::string eicar()
{
    // Split so that this source is not flagged itself.
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

class standin_process {
public:
    standin_process(const std::string& dir, const std::vector<std::string>& extra)
    {
        socket_ = dir + "/standin.sock";
        std::string pid_file = dir + "/standin.pid";
        std::vector<std::string> args = {VRX_BINARY_DIR "/tools/vorexd_standin", "--local", socket_,
                                         "--inet", "127.0.0.1:0", "--pid-file", pid_file,
                                         "--stall-seconds", "10"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        wait_until([&] { return std::filesystem::exists(pid_file); });
        std::istringstream lines(daemon_harness::read_file(pid_file));
        std::string pid, local, inet;
        std::getline(lines, pid) && std::getline(lines, local) && std::getline(lines, inet);
        port_ = inet.substr(inet.rfind(':') + 1);
    }
    ~standin_process()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string local_address() const { return "local:" + socket_; }
    std::string inet_address() const { return "inet:" + port_ + "@127.0.0.1"; }
    bool ready() const { return !port_.empty(); }

private:
    pid_t pid_ = -1;
    std::string socket_;
    std::string port_;
};

