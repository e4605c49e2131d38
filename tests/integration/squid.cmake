vrx_test(squid_e2e_test SOURCES squid_e2e_test.cpp squid_peer.cpp LIBS vrx_daemon_harness)
