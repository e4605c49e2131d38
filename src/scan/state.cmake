list(APPEND vrx_sources scan_state.cpp)
