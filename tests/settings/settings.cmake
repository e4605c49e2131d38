vrx_test(settings_test
  SOURCES registry_test.cpp settings_table_test.cpp address_list_test.cpp load_test.cpp
  LIBS vrx_settings)
vrx_test(settings_check_only_test
  SOURCES check_only_test.cpp
  LIBS vrx_settings)
add_dependencies(settings_check_only_test vorex-icapd)
vrx_test(settings_agent_test
  SOURCES agent_test.cpp
  LIBS vrx_settings)
