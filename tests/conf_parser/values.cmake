vrx_test(values_test SOURCES values_parse_test.cpp values_lookup_test.cpp
  LIBS vrx_conf_parser vrx_daemon_io vrx_icap)
