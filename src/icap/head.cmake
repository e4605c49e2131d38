list(APPEND vrx_sources icap_head.cpp outcome.cpp transaction.cpp)
list(APPEND vrx_depends vrx_base vrx_request vrx_settings vrx_scan)
