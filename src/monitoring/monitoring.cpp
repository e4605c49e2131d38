#include "monitoring/monitoring.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/log.h"
#include "monitoring/access_log.h"
#include "monitoring/metrics_server.h"
#include "monitoring/traffic_counters.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"
#include "uwl_files/uwl_files.h"

namespace {

std::string g_peer;                  // the worker's client address
pid_t g_metrics_pid = -1;
std::string g_metrics_address;       // the address the metrics process serves

int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

std::string peer_address(int fd) {
    struct sockaddr_storage peer;
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &length) != 0)
        return std::string();
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
    else if (peer.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<struct sockaddr_in6*>(&peer)->sin6_addr, text, sizeof text);
    return text;
}

void publish_load_figures(traffic_counters& counters) {
    counters.last_reload_success_time.store(now_seconds(), std::memory_order_relaxed);
    for (size_t i = 0; i < uwl_category_count; ++i) {
        const uwl_category& category = uwl_categories()[i];
        counters.uwl_files_loaded[i].store(static_cast<int64_t>(category.black.size() + category.white.size()),
                                           std::memory_order_relaxed);
    }
    counters.scanner_database_version.store(virus_total, std::memory_order_relaxed);
}

bool metrics_running() { return g_metrics_pid > 0 && kill(g_metrics_pid, 0) == 0; }

void stop_metrics() {
    if (g_metrics_pid > 0)
        kill(g_metrics_pid, SIGTERM);   // the SIGCHLD reaper collects it
    g_metrics_pid = -1;
    g_metrics_address.clear();
}

// Starts the metrics process for MetricsAddress; false when the address
// cannot be bound.
bool start_metrics() {
    if (g_config.metrics_address.empty())
        return true;
    int fd = metrics_listen(g_config.metrics_endpoint);
    if (fd < 0)
        return false;
    g_metrics_pid = metrics_server_start(fd);
    close(fd);
    if (g_metrics_pid > 0)
        g_metrics_address = g_config.metrics_address;
    return true;
}

void open_access_log() { access_log_open(g_config.access_log); }

std::string decision_of(const request_state& request, int code) {
    if (code != 200)
        return "error";
    if (request.method == "OPTIONS")
        return std::string();
    if (!request.outcome.decision.empty())
        return request.outcome.decision;
    return request.outcome.status == 204 ? "204" : "pass";
}

std::string threat_names(const request_state& request) {
    std::string names;
    for (const virus_entry& threat : request.viruses_list) {
        if (!names.empty())
            names += ';';
        names += threat.name;
    }
    return names;
}

void count(traffic_counters& c, const access_log_entry& entry, const request_state& request) {
    auto method = static_cast<size_t>(method_label(entry.method));
    c.requests[method].fetch_add(1, std::memory_order_relaxed);
    if (entry.status > 0)
        c.count_reply(entry.status);
    int decision = decision_index(entry.decision);
    if (decision >= 0)
        c.decisions[decision].fetch_add(1, std::memory_order_relaxed);
    if (entry.decision.compare(0, 6, "virus:") == 0) {
        for (size_t a = 0; a < action_count; ++a)
            if (entry.decision.compare(6, std::string::npos, action_name(a)) == 0)
                c.threats[a].fetch_add(std::max<uint64_t>(1, request.viruses_list.size()), std::memory_order_relaxed);
    } else if (entry.decision == "scan-error") {
        c.scan_errors.fetch_add(1, std::memory_order_relaxed);
    }
    if (entry.scan_seconds > 0)
        c.scan_duration.observe(entry.scan_seconds);
    c.request_duration[method].observe(entry.total_seconds);
    c.body_bytes_received.fetch_add(entry.bytes_received, std::memory_order_relaxed);
    c.body_bytes_sent.fetch_add(entry.bytes_sent, std::memory_order_relaxed);
    // A worker's OPTIONS reply refreshes the ISTAG number.
    if (entry.method == "OPTIONS")
        c.scanner_database_version.store(virus_total, std::memory_order_relaxed);
}

// The path of the ICAP URI: "/respmod" of "icap://127.0.0.1:1344/respmod".
std::string service_path(const std::string& uri) {
    size_t scheme = uri.find("://");
    if (scheme == std::string::npos)
        return uri;
    size_t path = uri.find('/', scheme + 3);
    return path == std::string::npos ? "/" : uri.substr(path);
}

}  // namespace

void monitoring_start() {
    traffic_counters_create();
    traffic_counters& counters = *shared_counters();
    counters.start_time.store(now_seconds(), std::memory_order_relaxed);
    publish_load_figures(counters);
    try {
        open_access_log();
        if (!start_metrics())
            throw std::runtime_error("no metrics endpoint");
    } catch (const std::exception& e) {
        vrx_log(log_level::error, "%s\n", e.what());
        unlink(g_config.pid_file.c_str());
        exit(1);
    }
}

void monitoring_reloaded(bool ok) {
    traffic_counters* counters = shared_counters();
    if (!counters)
        return;
    (ok ? counters->reloads_ok : counters->reloads_failed).fetch_add(1, std::memory_order_relaxed);
    if (!ok)
        return;
    publish_load_figures(*counters);
    try {
        open_access_log();
    } catch (const std::exception& e) {
        // Rotation trouble must not stop the daemon: it runs without the log.
        vrx_log(log_level::error, "%s\n", e.what());
    }
    if (g_metrics_address != g_config.metrics_address || !metrics_running()) {
        stop_metrics();
        start_metrics();
    }
}

void monitoring_connection_started(int fd) { g_peer = peer_address(fd); }

void monitoring_request_finished(const request_state& request, int code) {
    if (request.method.empty() && request.outcome.status == 0)
        return;   // the client left before sending a request
    traffic_counters* counters = shared_counters();
    if (!counters && !access_log_enabled())
        return;
    access_log_entry entry;
    entry.time_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    entry.client = g_peer;
    entry.method = request.method;
    entry.service = service_path(request.uri);
    entry.status = request.outcome.status;
    entry.url = request.url;
    entry.bytes_received = request.outcome.body_bytes_received;
    entry.bytes_sent = request.outcome.body_bytes_sent;
    entry.decision = decision_of(request, code);
    entry.threats = threat_names(request);
    entry.scan_seconds = request.outcome.scan_seconds;
    entry.total_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - request.outcome.started).count();
    access_log_write(entry);
    if (counters)
        count(*counters, entry, request);
}
