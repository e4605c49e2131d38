list(APPEND vrx_sources icapd_config.cpp setting_keys.cpp settings_table.cpp address_list.cpp command_line.cpp
     agent_source.cpp config_load.cpp)
list(APPEND vrx_depends vrx_conf_parser vrx_filters vrx_base vrx_scan vrx_uwl_files)
