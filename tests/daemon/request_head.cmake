vrx_test(request_head_test SOURCES request_head_test.cpp LIBS vrx_daemon)
