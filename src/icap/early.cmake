list(APPEND vrx_sources early_reply.cpp)
list(APPEND vrx_depends vrx_daemon_io vrx_settings vrx_scan)
