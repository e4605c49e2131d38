#pragma once
// The figures of the counters as Prometheus text (exposition format 0.0.4)
// and as a small HTML status page.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "monitoring/traffic_counters.h"
#include "monitoring/worker_gauges.h"

std::string metrics_text(const traffic_counters& counters, const std::optional<worker_gauges>& workers);
std::string status_page(const traffic_counters& counters, const std::optional<worker_gauges>& workers,
                        time_t now);
