#pragma once
// Runs a program with arguments and collects its exit status and output.

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct process_result {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

inline std::string read_whole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Output goes through files in `scratch`, which the caller removes. A
// program still running after 30 seconds is killed.
inline process_result run_process(const std::vector<std::string>& args, const std::string& scratch)
{
    const std::string out_path = scratch + "/stdout";
    const std::string err_path = scratch + "/stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        alarm(30);  // survives exec: a hung program ends by SIGALRM
        execv(argv[0], argv.data());
        _exit(127);
    }
    process_result result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    result.out = read_whole(out_path);
    result.err = read_whole(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return result;
}
