list(APPEND vrx_sources early_reply.cpp)
list(APPEND vrx_depends vrx_base vrx_request vrx_settings vrx_scan)
