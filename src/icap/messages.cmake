list(APPEND vrx_sources decision.cpp entity_reader.cpp http_header.cpp reply.cpp reply_writer.cpp url_policy.cpp
     x_headers.cpp)
list(APPEND vrx_depends vrx_base vrx_settings vrx_scan vrx_filters vrx_conf_parser vrx_uwl_files)
