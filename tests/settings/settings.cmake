vrx_test(settings_test
  SOURCES registry_test.cpp settings_table_test.cpp address_list_test.cpp
  LIBS vrx_settings)
