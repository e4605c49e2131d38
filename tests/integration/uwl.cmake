vrx_test(uwl_daemon_test SOURCES uwl_daemon_test.cpp LIBS vrx_daemon_harness vrx_uwl_writer vorex)
target_compile_definitions(uwl_daemon_test PRIVATE VRX_UWL_PRIVATE_KEY="${VRX_UWL_PRIVATE_KEY}")
