list(APPEND vrx_sources url_decode.cpp)
