vrx_test(filters_test
  SOURCES url_decode_test.cpp host_list_test.cpp mime_rules_test.cpp
  LIBS vrx_filters)
