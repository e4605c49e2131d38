vrx_test(engine_timeout_test SOURCES engine_timeout_test.cpp LIBS vorex)
