#include "monitoring/metrics_server.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "base/inherited_fds.h"
#include "base/log.h"
#include "base/stream_socket.h"
#include "monitoring/metrics_page.h"
#include "monitoring/traffic_counters.h"
#include "monitoring/worker_gauges.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr size_t max_clients = 64;
constexpr size_t max_head = 8192;
constexpr auto client_deadline = std::chrono::milliseconds(1000);

struct metrics_client {
    int fd;
    steady::time_point deadline;
    std::string in;
    std::string out;
    size_t sent = 0;
};

std::string http_response(const char* status, const char* type, const std::string& body) {
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n" + body;
}

size_t head_end(const std::string& in) {
    size_t crlf = in.find("\r\n\r\n");
    size_t lf = in.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf))
        return crlf + 4;
    return lf == std::string::npos ? std::string::npos : lf + 2;
}

// Reads what the client sent; false when it is to be dropped.
bool read_request(metrics_client& client) {
    char buffer[2048];
    ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0)
        return false;
    client.in.append(buffer, static_cast<size_t>(n));
    size_t end = head_end(client.in);
    if (end == std::string::npos)
        return client.in.size() <= max_head;
    client.out = metrics_reply(client.in.substr(0, end));
    return !client.out.empty();
}

// Writes what is left of the reply; false when done or failed.
bool write_reply(metrics_client& client) {
    ssize_t n = send(client.fd, client.out.data() + client.sent, client.out.size() - client.sent,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    client.sent += static_cast<size_t>(n);
    return client.sent < client.out.size();
}

void serve(int listen_fd) {
    std::vector<metrics_client> clients;
    std::vector<struct pollfd> waits;
    for (;;) {
        steady::time_point now = steady::now();
        waits.clear();
        int timeout_ms = -1;
        for (const metrics_client& client : clients) {
            waits.push_back({client.fd, static_cast<short>(client.out.empty() ? POLLIN : POLLOUT), 0});
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(client.deadline - now).count() + 1;
            if (timeout_ms < 0 || left < timeout_ms)
                timeout_ms = left > 0 ? static_cast<int>(left) : 0;
        }
        if (clients.size() < max_clients)
            waits.push_back({listen_fd, POLLIN, 0});
        if (poll(waits.data(), waits.size(), timeout_ms) < 0 && errno != EINTR) {
            vrx_log(log_level::error, "metrics: poll: %s\n", strerror(errno));
            exit(1);
        }
        now = steady::now();
        std::vector<metrics_client> kept;
        for (size_t i = 0; i < clients.size(); ++i) {
            metrics_client& client = clients[i];
            bool keep = now < client.deadline;
            if (keep && waits[i].revents) {
                bool reading = client.out.empty();
                keep = reading ? read_request(client) : write_reply(client);
                if (keep && reading && !client.out.empty())
                    keep = write_reply(client);
            }
            if (keep)
                kept.push_back(std::move(client));
            else
                close(client.fd);
        }
        clients.swap(kept);
        if (clients.size() < max_clients && !waits.empty() && waits.back().fd == listen_fd && waits.back().revents) {
            int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0)
                clients.push_back({fd, now + client_deadline, {}, {}, 0});
        }
    }
}

// The server holds nothing of the parent's but the counters, its socket and
// the log: no listening socket, no connection, and no end of the keep-alive
// pipe, whose closing tells idle workers of a reload.
void become_server(pid_t parent, int listen_fd) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(0);
    close_inherited(listen_fd);
    for (int signal_number : {SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGINT})
        signal(signal_number, SIG_DFL);
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
}

}  // namespace

int metrics_listen(const DaemonAddress& address) {
    const char* host = address.host.empty() ? nullptr : address.host.c_str();
    listen_failure failure;
    int fd = listen_on(host, address.serv.c_str(), 128, true, failure);
    if (fd >= 0)
        return fd;
    if (failure.step == listen_step::resolve)
        vrx_log(log_level::error, "metrics: getaddrinfo error for %s, %s: %s\n", address.host.c_str(),
                address.serv.c_str(), gai_strerror(failure.error));
    else
        vrx_log(log_level::error, "metrics: cannot listen on %s, %s: %s\n", address.host.c_str(),
                address.serv.c_str(), strerror(failure.error));
    return -1;
}

pid_t metrics_server_start(int listen_fd) {
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        vrx_log(log_level::error, "metrics: fork: %s\n", strerror(errno));
        return -1;
    }
    if (pid == 0) {
        become_server(parent, listen_fd);
        serve(listen_fd);
    }
    return pid;
}

std::string metrics_reply(const std::string& head) {
    size_t line_end = head.find_first_of("\r\n");
    std::string line = head.substr(0, line_end);
    size_t first = line.find(' ');
    size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.compare(second + 1, 5, "HTTP/") != 0)
        return std::string();
    std::string method = line.substr(0, first);
    std::string target = line.substr(first + 1, second - first - 1);
    target = target.substr(0, target.find('?'));
    const traffic_counters* counters = shared_counters();
    if (method == "GET" && counters && target == "/metrics")
        return http_response("200 OK", "text/plain; version=0.0.4; charset=utf-8",
                             metrics_text(*counters, read_worker_gauges()));
    if (method == "GET" && counters && target == "/status")
        return http_response("200 OK", "text/html; charset=utf-8",
                             status_page(*counters, read_worker_gauges(), time(nullptr)));
    return http_response("404 Not Found", "text/plain; charset=utf-8", "not found\n");
}
