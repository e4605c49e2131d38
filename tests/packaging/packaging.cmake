# Man pages, the systemd unit and the Debian package.
add_test(NAME man_pages_lint COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/man_lint.sh ${CMAKE_SOURCE_DIR})
add_test(NAME systemd_unit_check
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/unit_check.sh ${CMAKE_SOURCE_DIR} $<TARGET_FILE:vorex-icapd>)
# Compiles the project once more for the package (2-5 minutes on 2 cores)
# and installs it on this machine: alone, so it slows no other test.
add_test(NAME debian_package
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(debian_package PROPERTIES TIMEOUT 1800 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)
add_test(NAME cmake_install_check COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install_check.sh ${CMAKE_BINARY_DIR})
