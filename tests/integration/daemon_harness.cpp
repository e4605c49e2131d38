#include "integration/daemon_harness.h"

#include <algorithm>
#include <chrono>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/free_port.h"

namespace {

int status_of(int raw) {
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

// Waits for the child with a bound; SIGKILL when it does not end.
int wait_child(pid_t pid, int timeout_ms) {
    int raw = 0;
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid)
            return status_of(raw);
        if (r < 0)
            return -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &raw, 0);
    return status_of(raw);
}

std::vector<char*> make_argv(const std::string& binary, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

void drain(int fd, std::string& into) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        into.append(buffer, static_cast<size_t>(n));
}

}  // namespace

daemon_harness::daemon_harness() {
    mkdir(path("cache").c_str(), 0700);
    mkdir(path("uwl").c_str(), 0700);
    port_ = free_loopback_port();
}

daemon_harness::~daemon_harness() {
    if (pid_ > 0)
        stop();
}

std::string daemon_harness::binary() { return VRX_BINARY_DIR "/vorex-icapd"; }

std::string daemon_harness::config_text(const std::string& extra) const {
    const struct passwd* user = getpwuid(geteuid());
    std::ostringstream text;
    text << "[Log]\nLogFile = " << log_path() << "\nLogLevel = 255\n"
         << "[Daemon]\nUser = " << (user ? user->pw_name : "root") << "\n"
         << "Cache = " << path("cache") << "/\n"
         << "PidFile = " << pid_path() << "\n"
         << "BindAddress = 127.0.0.1\nBindPort = " << port_ << "\n"
         << "Templates = " << VRX_SOURCE_DIR "/conf/templates\n"
         << "UwlDirectory = " << path("uwl") << "/\n"
         << "Timeout = 10\n"
         << extra;
    return text.str();
}

void daemon_harness::write_config(const std::string& extra) const { write_file(config_path(), config_text(extra)); }

void daemon_harness::write_file(const std::string& file, const std::string& text) {
    std::ofstream out(file, std::ios::trunc);
    out << text;
}

std::string daemon_harness::read_file(const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool daemon_harness::start(const std::vector<std::string>& extra_args) {
    if (access(config_path().c_str(), F_OK) != 0)
        write_config();
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    std::vector<std::string> args = {"-m", "-f", config_path()};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::string program = binary();
    std::string err_path = path("stderr");
    std::vector<char*> argv = make_argv(program, args);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(ready[1], STDOUT_FILENO);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        close(ready[0]);
        close(ready[1]);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(ready[1]);
    bool ok = false;
    struct pollfd p = {ready[0], POLLIN, 0};
    char byte = 0;
    if (pid_ > 0 && poll(&p, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1)
        ok = byte == ' ';
    close(ready[0]);
    if (!ok && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return ok;
}

bool daemon_harness::running() const {
    if (pid_ <= 0)
        return false;
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

int daemon_harness::wait_exit(int timeout_ms) {
    if (!wait_until([&] { return !running(); }, timeout_ms))
        return -1;
    int raw = 0;
    waitpid(pid_, &raw, 0);
    pid_ = -1;
    return status_of(raw);
}

int daemon_harness::stop() {
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = wait_child(pid_, 10000);
    pid_ = -1;
    return status;
}

void daemon_harness::signal(int signal_number) const {
    if (pid_ > 0)
        kill(pid_, signal_number);
}

int daemon_harness::connect() const {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool daemon_harness::send_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string daemon_harness::read_until(int fd, const std::string& end, int timeout_ms) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!end.empty() && data.size() >= end.size() &&
            data.compare(data.size() - end.size(), end.size(), end) == 0)
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50))) != 1)
            continue;
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

std::string daemon_harness::exchange(const std::string& bytes, int timeout_ms) const {
    int fd = connect();
    if (fd < 0)
        return "<no connection>";
    send_all(fd, bytes);
    shutdown(fd, SHUT_WR);
    std::string reply = read_until(fd, "", timeout_ms);
    close(fd);
    return reply;
}

int daemon_harness::free_port() { return free_loopback_port(); }

int daemon_harness::cache_files() const {
    int count = 0;
    if (DIR* dir = opendir(path("cache").c_str())) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

namespace {

// Children of `parent` whose process name is (or is not) `name`.
std::vector<pid_t> children_of(pid_t parent, const std::string& name, bool named) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc)
        return found;
    while (struct dirent* entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::string stat = daemon_harness::read_file("/proc/" + std::string(entry->d_name) + "/stat");
        size_t open_paren = stat.find('(');
        size_t close_paren = stat.rfind(')');
        if (open_paren == std::string::npos || close_paren == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        bool is_named = stat.compare(open_paren + 1, close_paren - open_paren - 1, name) == 0;
        if (sscanf(stat.c_str() + close_paren + 1, " %c %d", &state, &ppid) == 2 && ppid == parent &&
            is_named == named)
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

const char keeper_name[] = "vorex-keeper";

}  // namespace

std::vector<pid_t> daemon_harness::children() const { return children_of(pid_, keeper_name, false); }

pid_t daemon_harness::keeper() const {
    std::vector<pid_t> found = children_of(pid_, keeper_name, true);
    return found.empty() ? 0 : found[0];
}

int daemon_harness::open_descriptors() const {
    int count = 0;
    DIR* fds = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
    if (!fds)
        return -1;
    while (struct dirent* entry = readdir(fds))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(fds);
    return count;
}

long daemon_harness::status_kib(pid_t pid, const std::string& field) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

run_result daemon_harness::run(const std::vector<std::string>& args) {
    run_result result;
    int out[2], err[2];
    if (pipe(out) != 0)
        return result;
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    std::string program = binary();
    std::vector<char*> argv = make_argv(program, args);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // The outputs are small: the pipes hold them until the end.
    result.status = wait_child(pid, 20000);
    drain(out[0], result.out);
    drain(err[0], result.err);
    close(out[0]);
    close(err[0]);
    return result;
}
