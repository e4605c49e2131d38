list(APPEND vrx_sources request_state.cpp)
