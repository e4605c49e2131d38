list(APPEND vrx_sources url_decode.cpp host_list.cpp acl.cpp mime_rules.cpp)
list(APPEND vrx_depends vrx_base)
