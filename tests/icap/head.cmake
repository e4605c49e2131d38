vrx_test(head_test SOURCES head_test.cpp LIBS vrx_icap vrx_settings vrx_scan vrx_base)
vrx_test(early_pause_test SOURCES early_pause_test.cpp LIBS vorex)
