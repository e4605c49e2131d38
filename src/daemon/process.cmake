list(APPEND vrx_sources daemon_state.cpp signals.cpp worker.cpp lock_cleaner.cpp accept_loop.cpp startup.cpp)
list(APPEND vrx_sources worker_pool.cpp pooled_worker.cpp)
# The connection keeper and the hand-offs of connections to and from it.
list(APPEND vrx_sources request_head.cpp connection_handoff.cpp connection_keeper.cpp deadline_lists.cpp keeper_process.cpp
  next_request.cpp)
list(APPEND vrx_depends vrx_base vrx_icap vrx_settings vrx_scan vrx_filters)
