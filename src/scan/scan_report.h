#pragma once
// The scanning daemon's report for the object scanned last, per process.
// The scan replaces the lines; reply headers and report pages read them.

#include <string>
#include <vector>

struct scan_report {
    std::vector<std::string> report;
};

extern scan_report greport;
