list(APPEND vrx_sources icap_head.cpp icap_handle.cpp)
list(APPEND vrx_depends vrx_daemon_io vrx_settings vrx_scan)
