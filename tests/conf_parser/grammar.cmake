vrx_test(parser_test SOURCES parser_accept_test.cpp parser_error_test.cpp
  LIBS vrx_conf_parser vrx_base vrx_icap)
