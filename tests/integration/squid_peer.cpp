#include "squid_peer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/free_port.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int listen_loopback(int port, int* bound_port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *bound_port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

origin_server::origin_server(std::map<std::string, page> pages) : pages_(std::move(pages)) {
    listen_fd_ = listen_loopback(0, &port_);
    thread_ = std::thread([this] { serve(); });
}

origin_server::~origin_server() {
    stop_ = true;
    thread_.join();
    if (listen_fd_ >= 0)
        close(listen_fd_);
}

void origin_server::serve() {
    while (!stop_ && listen_fd_ >= 0) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            continue;
        timeval wait{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::string request;
        char buffer[65536];
        ssize_t n;
        while (request.find("\r\n\r\n") == std::string::npos && (n = read(fd, buffer, sizeof buffer)) > 0)
            request.append(buffer, static_cast<size_t>(n));
        size_t start = request.find(' ') + 1;
        std::string target = request.substr(start, request.find(' ', start) - start);
        size_t path = target.find('/', target.find("://") == std::string::npos ? 0 : target.find("://") + 3);
        std::string path_text = path == std::string::npos ? "/" : target.substr(path);
        size_t head_end = request.find("\r\n\r\n");
        size_t length_at = request.find("\r\nContent-Length: ");
        if (head_end != std::string::npos && length_at != std::string::npos && length_at < head_end) {
            size_t length = std::stoul(request.substr(length_at + 18));
            std::string body = request.substr(head_end + 4);
            while (body.size() < length && (n = read(fd, buffer, sizeof buffer)) > 0)
                body.append(buffer, static_cast<size_t>(n));
            std::lock_guard<std::mutex> hold(received_lock_);
            received_[path_text] = body;
        }
        auto found = pages_.find(path_text);
        std::string reply;
        if (found == pages_.end()) {
            reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        } else {
            reply = "HTTP/1.1 200 OK\r\nContent-Type: " + found->second.content_type +
                    "\r\nContent-Length: " + std::to_string(found->second.body.size()) +
                    "\r\nConnection: close\r\n\r\n" + found->second.body;
        }
        size_t rate = found == pages_.end() ? 0 : found->second.bytes_per_second;
        for (size_t done = 0; done < reply.size() && !stop_;) {
            size_t piece = rate ? std::min(rate / 10, reply.size() - done) : reply.size() - done;
            if (rate)
                usleep(100000);   // bursts of rate / 10 bytes every 100 ms
            ssize_t w = write(fd, reply.data() + done, piece);
            if (w <= 0)
                break;
            done += static_cast<size_t>(w);
        }
        close(fd);
    }
}

squid_proxy::squid_proxy(int icap_port, int preview_size)
    : squid_proxy("icap_service svc_req reqmod_precache icap://127.0.0.1:" + std::to_string(icap_port) +
                      "/reqmod bypass=0\n"
                      "icap_service svc_resp respmod_precache icap://127.0.0.1:" + std::to_string(icap_port) +
                      "/respmod bypass=0\n"
                      "adaptation_access svc_req allow all\nadaptation_access svc_resp allow all\n",
                  preview_size) {}

squid_proxy::squid_proxy(const std::string& icap_lines, int preview_size) {
    port_ = free_loopback_port();
    const std::string& run = folder_.path();
    std::ofstream conf(run + "/squid.conf");
    conf << "http_port 127.0.0.1:" << port_ << "\n"
         << "http_access allow localhost\nhttp_access deny all\ncache deny all\n"
         << "pid_filename " << run << "/squid.pid\n"
         << "access_log stdio:" << run << "/access.log squid\n"
         << "cache_log " << run << "/cache.log\n"
         << "cache_store_log none\ncoredump_dir " << run << "\npinger_enable off\n"
         << "shutdown_lifetime 1 seconds\n"
         << "cache_effective_user proxy\n"
         << "icap_enable on\nicap_preview_enable on\nicap_preview_size " << preview_size << "\n"
         << "icap_persistent_connections on\nadaptation_send_client_ip on\n"
         << icap_lines
         << "icap_log stdio:" << run << "/icap.log icap_squid\n";
    conf.close();
    if (passwd* proxy = getpwnam("proxy")) {
        if (chown(run.c_str(), proxy->pw_uid, proxy->pw_gid) != 0)
            error_ = "cannot hand the folder to the proxy user";
    }
    pid_ = fork();
    if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execlp("squid", "squid", "-N", "-f", (run + "/squid.conf").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 300; ++i) {   // up to 30 s
        if (log("cache.log").find("Accepting HTTP Socket connections") != std::string::npos)
            return;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "squid ended early: " + log("cache.log");
            return;
        }
        usleep(100000);
    }
    error_ = "squid not ready: " + log("cache.log");
}

squid_proxy::~squid_proxy() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) != pid_; ++i)
            usleep(100000);
        if (kill(pid_, 0) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
}

std::string origin_server::received(const std::string& path) {
    std::lock_guard<std::mutex> hold(received_lock_);
    auto found = received_.find(path);
    return found == received_.end() ? std::string() : found->second;
}

std::string squid_proxy::log(const char* name) const { return read_file(folder_.file(name)); }

http_result curl_through(int proxy_port, const std::string& url) {
    http_result result;
    const temp_folder scratch("vrx_curl");
    const std::string& folder = scratch.path();
    std::string command = "curl -s -m 20 -x http://127.0.0.1:" + std::to_string(proxy_port) + " -D '" + folder +
                          "/h' -o '" + folder + "/b' -w '%{http_code}' '" + url + "' > '" + folder + "/s'";
    if (system(command.c_str()) == 0) {
        result.status = atoi(read_file(folder + "/s").c_str());
        result.headers = read_file(folder + "/h");
        result.body = read_file(folder + "/b");
    }
    return result;
}

int curl_to_file(int proxy_port, const std::string& url, const std::string& body_file, const std::string& extra,
                 int max_seconds, int* http_status) {
    const temp_folder scratch("vrx_curl");
    std::string status_file = scratch.file("s");
    std::string command = "curl -s -m " + std::to_string(max_seconds) + " -x http://127.0.0.1:" +
                          std::to_string(proxy_port) + " " + extra + " -o '" + body_file + "' -w '%{http_code}' '" +
                          url + "' > '" + status_file + "'";
    int rc = system(command.c_str());
    *http_status = atoi(read_file(status_file).c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}
