vrx_test(report_page_test SOURCES report_page_test.cpp LIBS vorex)
