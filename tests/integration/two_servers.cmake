vrx_test(two_servers_squid_test SOURCES two_servers_squid_test.cpp squid_peer.cpp
         LIBS vrx_daemon_harness vrx_uwl_writer vorex)
target_compile_definitions(two_servers_squid_test PRIVATE VRX_UWL_PRIVATE_KEY="${VRX_UWL_PRIVATE_KEY}")
