vrx_test(socket_io_test SOURCES socket_io_test.cpp LIBS vrx_base)
