// The metrics endpoint's answers and the exposition of the counters.

#include <gtest/gtest.h>

#include "monitoring/metrics_page.h"
#include "monitoring/metrics_server.h"
#include "monitoring/traffic_counters.h"

namespace {

class metrics : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!shared_counters())
            traffic_counters_create();
    }
};

TEST_F(metrics, requests_are_routed_and_malformed_ones_dropped) {
    struct {
        const char* head;
        const char* answer_start;   // "" : dropped
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4"},
        {"GET /metrics?x=1 HTTP/1.0\n\n", "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4"},
        {"GET /status HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Type: text/html"},
        {"GET /metricsx HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"GET /metrics\r\n\r\n", ""},
        {"GET /metrics SPDY/3\r\n\r\n", ""},
        {"\r\n\r\n", ""},
    };
    for (const auto& c : cases) {
        std::string reply = metrics_reply(c.head);
        if (*c.answer_start)
            EXPECT_EQ(reply.rfind(c.answer_start, 0), 0u) << c.head << reply.substr(0, 200);
        else
            EXPECT_EQ(reply, "") << c.head;
    }
}

TEST_F(metrics, histogram_buckets_are_cumulative_and_bounds_inclusive) {
    duration_histogram& h = shared_counters()->scan_duration;
    for (double seconds : {0.001, 0.0011, 0.25, 100.0})
        h.observe(seconds);
    std::string text = metrics_text(*shared_counters(), std::nullopt);
    for (const char* line : {"vorex_scan_duration_seconds_bucket{le=\"0.001\"} 1\n",
                             "vorex_scan_duration_seconds_bucket{le=\"0.0025\"} 2\n",
                             "vorex_scan_duration_seconds_bucket{le=\"0.25\"} 3\n",
                             "vorex_scan_duration_seconds_bucket{le=\"30\"} 3\n",
                             "vorex_scan_duration_seconds_bucket{le=\"+Inf\"} 4\n",
                             "vorex_scan_duration_seconds_sum 100.252100\n",
                             "vorex_scan_duration_seconds_count 4\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("vorex_workers"), std::string::npos);   // no pool, no worker gauges
}

}  // namespace
