vrx_test(log_test SOURCES log_test.cpp LIBS vrx_base)
