list(APPEND vrx_sources scan_report.cpp report_page.cpp)
list(APPEND vrx_depends vrx_base vrx_request vrx_settings)
