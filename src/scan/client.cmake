list(APPEND vrx_sources vrx_connect.cpp vrx_scan.cpp vrx_verdict.cpp file_with_path.cpp
     vrx_mail.cpp agent_stat.cpp)
list(APPEND vrx_depends vrx_base vrx_request vrx_settings)
