list(APPEND vrx_sources body_pass_through.cpp decision.cpp entity_reader.cpp http_header.cpp reply.cpp reply_writer.cpp send_queue.cpp url_policy.cpp
     x_headers.cpp)
list(APPEND vrx_depends vrx_base vrx_settings vrx_scan vrx_filters vrx_conf_parser vrx_uwl_files)
