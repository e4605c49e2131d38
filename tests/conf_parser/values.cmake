vrx_test(values_test SOURCES values_parse_test.cpp values_lookup_test.cpp
  LIBS vrx_conf_parser vrx_base vrx_icap)
vrx_test(expr_test SOURCES expr_eval_test.cpp expr_print_test.cpp
  LIBS vrx_conf_parser vrx_base vrx_icap)
