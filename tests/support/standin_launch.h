#pragma once
// Launches the stand-in scanning daemon as a child process on a local socket
// and a free loopback TCP port, and reads back the port it chose.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Forks and runs the stand-in with the extra arguments; returns the child's
// pid, or -1 when fork failed.
inline pid_t spawn_standin(const std::string& socket, const std::string& pid_file,
                           const std::vector<std::string>& extra)
{
    std::vector<std::string> args = {VRX_BINARY_DIR "/tools/vorexd_standin", "--local", socket,
                                     "--inet", "127.0.0.1:0", "--pid-file", pid_file,
                                     "--stall-seconds", "10"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Waits up to five seconds for the pid file (pid, local and inet lines) and
// sets `port` from its inet line; false when the file is missing or short.
inline bool read_standin_port(const std::string& pid_file, std::string& port)
{
    for (int i = 0; i < 200 && !std::filesystem::exists(pid_file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    std::ifstream lines(pid_file, std::ios::binary);
    std::string pid, local, inet;
    const bool read = std::getline(lines, pid) && std::getline(lines, local) && std::getline(lines, inet);
    port = inet.substr(inet.rfind(':') + 1);
    return read;
}
