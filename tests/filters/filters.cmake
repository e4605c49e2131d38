vrx_test(filters_test
  SOURCES url_decode_test.cpp
  LIBS vrx_filters)
