list(APPEND vrx_sources scan_state.cpp engine_version.cpp)
