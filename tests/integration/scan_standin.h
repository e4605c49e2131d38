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
#include "support/standin_launch.h"

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
        pid_ = spawn_standin(socket_, pid_file, extra);
        read_standin_port(pid_file, port_);
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

