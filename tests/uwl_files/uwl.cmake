vrx_test(uwl_files_test
  SOURCES uwl_file_test.cpp uwl_match_test.cpp uwl_load_test.cpp uwl_build_test.cpp
  LIBS vrx_uwl_writer vorex)
add_dependencies(uwl_files_test uwl_build)
target_compile_definitions(uwl_files_test PRIVATE
  VRX_UWL_PRIVATE_KEY="${VRX_UWL_PRIVATE_KEY}"
  UWL_BUILD_PATH="$<TARGET_FILE:uwl_build>")
