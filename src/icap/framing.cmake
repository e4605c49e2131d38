list(APPEND vrx_sources entity_order.cpp request_deadline.cpp)
