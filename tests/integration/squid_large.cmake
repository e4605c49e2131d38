vrx_test(squid_large_test SOURCES squid_large_test.cpp squid_peer.cpp LIBS vrx_daemon_harness OpenSSL::Crypto)
add_dependencies(squid_large_test vorexd_standin)
