vrx_test(worker_table_test SOURCES worker_table_test.cpp LIBS vrx_base)
