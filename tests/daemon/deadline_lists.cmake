vrx_test(deadline_lists_test SOURCES deadline_lists_test.cpp LIBS vrx_daemon)
