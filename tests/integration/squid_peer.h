#pragma once
// Real HTTP peers for end-to-end tests on loopback: a small origin server
// running in a thread of the test, and a Squid in the foreground whose ICAP
// services point at the daemon.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "support/temp_folder.h"

// Serves fixed responses by request path; every reply closes the connection.
// A request body (Content-Length) is kept by path for the test to inspect.
class origin_server {
public:
    struct page {
        std::string content_type;
        std::string body;
        size_t bytes_per_second = 0;   // sent in bursts 10 times a second; 0: at once
    };
    explicit origin_server(std::map<std::string, page> pages);
    ~origin_server();
    int port() const { return port_; }
    // The body of the last request for `path` (empty when none came).
    std::string received(const std::string& path);

private:
    void serve();
    std::map<std::string, page> pages_;
    std::mutex received_lock_;
    std::map<std::string, std::string> received_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Squid with its own folder, configuration and logs, started in the
// foreground and stopped (SIGTERM, then SIGKILL) by the destructor.
class squid_proxy {
public:
    squid_proxy(int icap_port, int preview_size);
    // Squid whose ICAP services and adaptation rules are `icap_lines`.
    squid_proxy(const std::string& icap_lines, int preview_size);
    ~squid_proxy();
    // Empty when Squid is ready, else why it is not.
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    std::string log(const char* name) const;

private:
    temp_folder folder_{"vrx_squid"};
    int port_ = 0;
    int pid_ = -1;
    std::string error_;
};

struct http_result {
    int status = 0;
    std::string headers;
    std::string body;
};

// curl through the proxy, bounded by a time-out; status 0 when curl failed.
http_result curl_through(int proxy_port, const std::string& url);

// curl through the proxy into `body_file` with `extra` options (quoted
// for the shell); returns curl's exit status and sets the HTTP status.
int curl_to_file(int proxy_port, const std::string& url, const std::string& body_file, const std::string& extra,
                 int max_seconds, int* http_status);
