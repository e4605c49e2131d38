vrx_test(monitoring_test SOURCES monitoring_test.cpp LIBS vrx_daemon_harness vrx_uwl_writer vorex)
target_compile_definitions(monitoring_test PRIVATE VRX_UWL_PRIVATE_KEY="${VRX_UWL_PRIVATE_KEY}")
add_dependencies(monitoring_test vorexd_standin)
