vrx_test(transaction_test SOURCES transaction_test.cpp LIBS vorex)
