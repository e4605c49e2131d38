list(APPEND vrx_sources cf_override.cpp)
