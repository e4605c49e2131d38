list(APPEND vrx_sources scan_report.cpp)
