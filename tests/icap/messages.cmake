vrx_test(messages_test
  SOURCES http_header_test.cpp x_headers_test.cpp entity_reader_test.cpp reply_test.cpp
  LIBS vorex)
