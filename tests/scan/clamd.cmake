vrx_test(clamd_reply_test SOURCES clamd_reply_test.cpp LIBS vorex)
