vrx_test(scan_client_test SOURCES scan_standin_test.cpp scan_wire_test.cpp LIBS vorex)
vrx_test(scan_verdict_test SOURCES verdict_test.cpp mail_test.cpp agent_stat_test.cpp LIBS vorex)
