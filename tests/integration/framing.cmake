vrx_test(framing_test SOURCES framing_test.cpp LIBS vrx_daemon_harness)
target_compile_definitions(framing_test PRIVATE VRX_UWL_PRIVATE_KEY="${VRX_UWL_PRIVATE_KEY}")
add_dependencies(framing_test uwl_build vorexd_standin)
