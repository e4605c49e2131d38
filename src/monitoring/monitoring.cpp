#include "monitoring/monitoring.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <stdexcept>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "monitoring/access_log.h"
#include "monitoring/metrics_server.h"
#include "monitoring/traffic_counters.h"
#include "scan/engine_version.h"
#include "scan/vrx_client.h"
#include "settings/config_load.h"
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
    counters.scanner_database_version.store(engine_version_number(), std::memory_order_relaxed);
}

bool metrics_running() { return g_metrics_pid > 0 && kill(g_metrics_pid, 0) == 0; }

void stop_metrics() {
    if (g_metrics_pid > 0)
        kill(g_metrics_pid, SIGTERM);   // the SIGCHLD reaper collects it
    g_metrics_pid = -1;
    g_metrics_address.clear();
}

// Starts the metrics process on the bound socket `fd` (closed here).
void start_metrics_on(int fd) {
    g_metrics_pid = metrics_server_start(fd);
    close(fd);
    if (g_metrics_pid > 0)
        g_metrics_address = g_config.metrics_address;
}

// Starts the metrics process for MetricsAddress; false when the address
// cannot be bound.
bool start_metrics() {
    if (g_config.metrics_address.empty())
        return true;
    int fd = metrics_listen(g_config.metrics_endpoint);
    if (fd < 0)
        return false;
    start_metrics_on(fd);
    return true;
}

// The metrics socket bound for a reloaded configuration, served once it
// takes over.
int g_next_metrics_fd = -1;

void drop_next_metrics() {
    if (g_next_metrics_fd >= 0)
        close(g_next_metrics_fd);
    g_next_metrics_fd = -1;
}

// A reload whose access log or metrics address cannot be opened fails
// before anything changes, as both do at start-up.
void check_reload(const icapd_config& candidate) {
    drop_next_metrics();
    if (!candidate.access_log.empty()) {
        int fd = open(candidate.access_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
        if (fd < 0)
            throw std::runtime_error("failed to open access log [" + candidate.access_log + "]: " + strerror(errno));
        close(fd);
    }
    if (candidate.metrics_address.empty() ||
        (candidate.metrics_address == g_metrics_address && metrics_running()))
        return;
    g_next_metrics_fd = metrics_listen(candidate.metrics_endpoint);
    if (g_next_metrics_fd < 0)
        throw std::runtime_error("failed to open MetricsAddress [" + candidate.metrics_address + "]");
}

bool g_metrics_restart_failed = false;

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
    if (request.outcome.spool_errno != 0)
        c.cache_write_failures.fetch_add(1, std::memory_order_relaxed);
    if (entry.scan_seconds > 0)
        c.scan_duration.observe(entry.scan_seconds);
    c.request_duration[method].observe(entry.total_seconds);
    c.body_bytes_received.fetch_add(entry.bytes_received, std::memory_order_relaxed);
    c.body_bytes_sent.fetch_add(entry.bytes_sent, std::memory_order_relaxed);
    c.scanner_database_version.store(engine_version_number(), std::memory_order_relaxed);
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
    set_reload_check(check_reload);
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
    if (!ok) {
        drop_next_metrics();
        return;
    }
    publish_load_figures(*counters);
    try {
        open_access_log();
    } catch (const std::exception& e) {
        // Opened a moment ago by the reload check: only a race gets here.
        vrx_log(log_level::error, "%s\n", e.what());
    }
    if (g_next_metrics_fd >= 0) {
        stop_metrics();
        start_metrics_on(g_next_metrics_fd);
        g_next_metrics_fd = -1;
    } else if (g_config.metrics_address.empty()) {
        stop_metrics();
    }
}

void monitoring_tick() {
    if (g_metrics_address.empty() || metrics_running())
        return;
    g_metrics_pid = -1;
    if (!g_metrics_restart_failed)
        vrx_log(log_level::error, "the metrics process ended: starting a new one on %s\n", g_metrics_address.c_str());
    int fd = metrics_listen(g_config.metrics_endpoint);
    if (fd >= 0)
        start_metrics_on(fd);
    // Tried again every second; said once.
    g_metrics_restart_failed = g_metrics_pid <= 0;
}

void monitoring_connection_started(int fd) { g_peer = peer_address(fd); }

namespace {

void log_and_count(const request_state& request, int code) {
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

}  // namespace

void monitoring_request_finished(const request_state& request, int code) {
    if (request.method.empty() && request.outcome.status == 0)
        return;   // the client left before sending a request
    log_and_count(request, code);
    // Off the request path: the reply has gone out.
    engine_version_refresh_if_due();
}
