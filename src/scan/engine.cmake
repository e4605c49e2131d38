list(APPEND vrx_sources vrx_engine.cpp clamd_engine.cpp clamd_session.cpp clamd_reply.cpp)
