list(APPEND vrx_io_sources log.cpp inherited_fds.cpp monotonic_clock.cpp)
list(APPEND vrx_io_sources socket_io.cpp)
list(APPEND vrx_io_sources worker_table.cpp)
