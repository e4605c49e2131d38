list(APPEND vrx_io_sources log.cpp)
