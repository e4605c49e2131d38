vrx_test(reload_test SOURCES reload_test.cpp LIBS vrx_daemon_harness vrx_uwl_writer vorex)
target_compile_definitions(reload_test PRIVATE VRX_UWL_PRIVATE_KEY="${VRX_UWL_PRIVATE_KEY}")
