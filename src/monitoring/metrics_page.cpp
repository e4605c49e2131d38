#include "monitoring/metrics_page.h"

#include <cstdio>

#include "uwl_files/uwl_files.h"

namespace {

uint64_t value(const counter_cell& cell) { return cell.load(std::memory_order_relaxed); }

std::string seconds_text(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.6f", seconds);
    return text;
}

// Upper bounds as Prometheus writes them: 0.001, 2.5, 10.
std::string bound_text(double bound) {
    char text[32];
    snprintf(text, sizeof text, "%g", bound);
    return text;
}

class exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& name, const std::string& labels, const std::string& number) {
        text_ += name;
        if (!labels.empty())
            text_ += "{" + labels + "}";
        text_ += " " + number + "\n";
    }
    void sample(const std::string& name, const std::string& labels, uint64_t number) {
        sample(name, labels, std::to_string(number));
    }
    void histogram(const std::string& name, const std::string& labels, const duration_histogram& h) {
        std::string prefix = labels.empty() ? "" : labels + ",";
        uint64_t cumulative = 0;
        for (size_t i = 0; i <= duration_bounds.size(); ++i) {
            cumulative += value(h.buckets[i]);
            std::string le = i < duration_bounds.size() ? bound_text(duration_bounds[i]) : "+Inf";
            sample(name + "_bucket", prefix + "le=\"" + le + "\"", cumulative);
        }
        sample(name + "_sum", labels, seconds_text(static_cast<double>(value(h.sum_microseconds)) / 1e6));
        sample(name + "_count", labels, value(h.count));
    }
    std::string& text() { return text_; }

private:
    std::string text_;
};

std::string label(const char* name, const std::string& text) { return std::string(name) + "=\"" + text + "\""; }

std::string html_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

class html_table {
public:
    html_table(std::string& page, const char* title) : page_(page) {
        page_ += std::string("<h2>") + title + "</h2>\n<table>\n";
    }
    ~html_table() { page_ += "</table>\n"; }
    void row(const std::string& name, const std::string& figure) {
        page_ += "<tr><th>" + html_escaped(name) + "</th><td>" + html_escaped(figure) + "</td></tr>\n";
    }

private:
    std::string& page_;
};

std::string time_text(int64_t seconds) {
    if (seconds <= 0)
        return "-";
    time_t t = static_cast<time_t>(seconds);
    struct tm local;
    localtime_r(&t, &local);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

}  // namespace

std::string metrics_text(const traffic_counters& c, const std::optional<worker_gauges>& workers) {
    exposition out;
    out.family("vorex_icap_requests_total", "counter", "ICAP requests received, by method.");
    for (size_t m = 0; m < method_label_count; ++m)
        out.sample("vorex_icap_requests_total", label("method", method_label_name(m)), value(c.requests[m]));

    out.family("vorex_icap_replies_total", "counter", "ICAP replies sent, by status.");
    for (const status_counter& cell : c.replies) {
        int32_t status = cell.status.load(std::memory_order_relaxed);
        if (status != 0)
            out.sample("vorex_icap_replies_total", label("status", std::to_string(status)), value(cell.replies));
    }

    out.family("vorex_decisions_total", "counter", "Decisions on REQMOD and RESPMOD requests, by decision word.");
    for (size_t d = 0; d < decision_count(); ++d)
        out.sample("vorex_decisions_total", label("decision", decision_name(d)), value(c.decisions[d]));

    out.family("vorex_threats_total", "counter", "Threats found by the scanner, by the action taken.");
    for (size_t a = 0; a < action_count; ++a)
        out.sample("vorex_threats_total", label("action", action_name(a)), value(c.threats[a]));

    out.family("vorex_scan_errors_total", "counter", "Bodies the scanner gave no verdict for.");
    out.sample("vorex_scan_errors_total", "", value(c.scan_errors));

    out.family("vorex_cache_write_failures_total", "counter",
               "Bodies answered with the error reply because the Cache folder could not take them.");
    out.sample("vorex_cache_write_failures_total", "", value(c.cache_write_failures));

    out.family("vorex_scan_duration_seconds", "histogram", "Time spent waiting for the scanner per request.");
    out.histogram("vorex_scan_duration_seconds", "", c.scan_duration);

    out.family("vorex_request_duration_seconds", "histogram", "Time from request line to the end of the reply, by method.");
    for (size_t m = 0; m < method_label_count; ++m)
        out.histogram("vorex_request_duration_seconds", label("method", method_label_name(m)), c.request_duration[m]);

    out.family("vorex_body_bytes_received_total", "counter", "Encapsulated body bytes received.");
    out.sample("vorex_body_bytes_received_total", "", value(c.body_bytes_received));
    out.family("vorex_body_bytes_sent_total", "counter", "Encapsulated body bytes sent in replies.");
    out.sample("vorex_body_bytes_sent_total", "", value(c.body_bytes_sent));

    if (workers) {
        out.family("vorex_workers", "gauge", "Worker processes, by state.");
        out.sample("vorex_workers", label("state", "idle"), workers->idle);
        out.sample("vorex_workers", label("state", "busy"), workers->busy);
        out.family("vorex_workers_max", "gauge", "Most connections served at once (MaxWorkers).");
        out.sample("vorex_workers_max", "", workers->max);
    }
    out.family("vorex_connections_accepted_total", "counter", "ICAP connections accepted by the workers.");
    out.sample("vorex_connections_accepted_total", "", pool_connections_accepted());
    out.family("vorex_worker_restarts_total", "counter", "Workers that ended abnormally and were replaced.");
    out.sample("vorex_worker_restarts_total", "", worker_restarts());

    out.family("vorex_connections", "gauge",
               "ICAP connections open, by state: idle (held by the connection keeper) or served (held by a worker).");
    out.sample("vorex_connections", label("state", "idle"),
               std::to_string(c.connections_held.load(std::memory_order_relaxed)));
    if (workers)
        out.sample("vorex_connections", label("state", "served"), workers->busy);
    out.family("vorex_connection_handoffs_total", "counter", "Connections the keeper passed to a worker.");
    out.sample("vorex_connection_handoffs_total", "", value(c.connection_handoffs));
    out.family("vorex_connections_refused_total", "counter",
               "Connections closed at once because MaxConnections were held.");
    out.sample("vorex_connections_refused_total", "", value(c.connections_refused));
    out.family("vorex_connection_wait_seconds", "histogram",
               "Time from a connection's complete request head to the worker that took it.");
    out.histogram("vorex_connection_wait_seconds", "", c.connection_wait);

    out.family("vorex_reloads_total", "counter", "Configuration reloads, by result.");
    out.sample("vorex_reloads_total", label("result", "ok"), value(c.reloads_ok));
    out.sample("vorex_reloads_total", label("result", "failed"), value(c.reloads_failed));
    out.family("vorex_config_last_reload_success_timestamp_seconds", "gauge",
               "Time of the last successful configuration load.");
    out.sample("vorex_config_last_reload_success_timestamp_seconds", "",
               std::to_string(c.last_reload_success_time.load(std::memory_order_relaxed)));

    out.family("vorex_uwl_files_loaded", "gauge", "URL category list files loaded, by category.");
    for (size_t i = 0; i < uwl_category_count; ++i)
        out.sample("vorex_uwl_files_loaded", label("category", uwl_categories()[i].name),
                   std::to_string(c.uwl_files_loaded[i].load(std::memory_order_relaxed)));
    out.family("vorex_scanner_database_version", "gauge", "Database version of the scanner (the ISTAG number).");
    out.sample("vorex_scanner_database_version", "", c.scanner_database_version.load(std::memory_order_relaxed));
    out.family("vorex_build_info", "gauge", "Version of the running daemon, as a label.");
    out.sample("vorex_build_info", label("version", VRX_BUILD_VERSION), 1);
    return std::move(out.text());
}

std::string status_page(const traffic_counters& c, const std::optional<worker_gauges>& workers, time_t now) {
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>vorex-icapd status</title>\n"
        "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse;margin-bottom:1em}"
        "th,td{border:1px solid #bbb;padding:.2em .8em;text-align:left}td{text-align:right}</style>\n"
        "</head><body>\n<h1>vorex-icapd " VRX_BUILD_VERSION "</h1>\n";
    int64_t started = c.start_time.load(std::memory_order_relaxed);
    {
        html_table t(page, "Daemon");
        t.row("started", time_text(started));
        t.row("up (seconds)", std::to_string(started > 0 ? now - started : 0));
        t.row("last successful load", time_text(c.last_reload_success_time.load(std::memory_order_relaxed)));
        t.row("reloads ok / failed", std::to_string(value(c.reloads_ok)) + " / " + std::to_string(value(c.reloads_failed)));
        t.row("scanner database version", std::to_string(c.scanner_database_version.load(std::memory_order_relaxed)));
        if (workers) {
            t.row("workers idle / busy / max", std::to_string(workers->idle) + " / " + std::to_string(workers->busy) +
                                                   " / " + std::to_string(workers->max));
        }
        t.row("connections accepted", std::to_string(pool_connections_accepted()));
        t.row("worker restarts", std::to_string(worker_restarts()));
    }
    {
        html_table t(page, "Connections");
        t.row("idle (in the keeper)", std::to_string(c.connections_held.load(std::memory_order_relaxed)));
        if (workers)
            t.row("being served", std::to_string(workers->busy));
        t.row("hand-offs to workers", std::to_string(value(c.connection_handoffs)));
        t.row("refused (MaxConnections)", std::to_string(value(c.connections_refused)));
        uint64_t waits = value(c.connection_wait.count);
        char mean[32];
        snprintf(mean, sizeof mean, "%.3f ms",
                 waits ? static_cast<double>(value(c.connection_wait.sum_microseconds)) / 1e3 / static_cast<double>(waits)
                       : 0);
        t.row("wait for a worker (mean)", mean);
    }
    {
        html_table t(page, "Requests");
        for (size_t m = 0; m < method_label_count; ++m) {
            const duration_histogram& h = c.request_duration[m];
            uint64_t n = value(h.count);
            double mean_ms = n ? static_cast<double>(value(h.sum_microseconds)) / 1e3 / static_cast<double>(n) : 0;
            char mean[32];
            snprintf(mean, sizeof mean, "%.1f ms", mean_ms);
            t.row(method_label_name(m), std::to_string(value(c.requests[m])) + " (mean " + mean + ")");
        }
        for (const status_counter& cell : c.replies) {
            int32_t status = cell.status.load(std::memory_order_relaxed);
            if (status != 0)
                t.row("replies " + std::to_string(status), std::to_string(value(cell.replies)));
        }
        t.row("body bytes received", std::to_string(value(c.body_bytes_received)));
        t.row("body bytes sent", std::to_string(value(c.body_bytes_sent)));
    }
    {
        html_table t(page, "Decisions");
        for (size_t d = 0; d < decision_count(); ++d)
            if (value(c.decisions[d]) != 0 || d < 2)
                t.row(decision_name(d), std::to_string(value(c.decisions[d])));
    }
    {
        html_table t(page, "Scanning");
        for (size_t a = 0; a < action_count; ++a)
            t.row(std::string("threats, ") + action_name(a), std::to_string(value(c.threats[a])));
        t.row("scan errors", std::to_string(value(c.scan_errors)));
        t.row("Cache write failures", std::to_string(value(c.cache_write_failures)));
        uint64_t scans = value(c.scan_duration.count);
        char mean[32];
        snprintf(mean, sizeof mean, "%.1f ms",
                 scans ? static_cast<double>(value(c.scan_duration.sum_microseconds)) / 1e3 / static_cast<double>(scans) : 0);
        t.row("scans (mean time)", std::to_string(scans) + " (" + mean + ")");
    }
    {
        html_table t(page, "URL category files");
        for (size_t i = 0; i < uwl_category_count; ++i)
            t.row(uwl_categories()[i].name, std::to_string(c.uwl_files_loaded[i].load(std::memory_order_relaxed)));
    }
    page += "<p><a href=\"/metrics\">/metrics</a></p>\n</body></html>\n";
    return page;
}
