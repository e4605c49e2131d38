list(APPEND vrx_sources vrx_connect.cpp)
list(APPEND vrx_depends vrx_daemon_io vrx_settings vrx_icap)
