# The harness is a library so that other integration tests can reuse it.
add_library(vrx_daemon_harness STATIC daemon_harness.cpp)
target_include_directories(vrx_daemon_harness PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(vrx_daemon_harness PUBLIC
  VRX_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  VRX_BINARY_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(vrx_daemon_harness vorex-icapd)

vrx_test(daemon_test SOURCES daemon_test.cpp LIBS vrx_daemon_harness)
