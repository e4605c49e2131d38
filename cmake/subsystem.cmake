# vrx_subsystem(NAME SOURCES a.cpp ... [DEPENDS other_lib ...])
# Declares one subsystem library. A subsystem without sources yet declares
# nothing, so folders can fill up one by one.
set(VRX_SUBSYSTEMS "" CACHE INTERNAL "")
function(vrx_subsystem name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  if(NOT ARG_SOURCES)
    return()
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_CURRENT_BINARY_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} Boost::boost)
  set(VRX_SUBSYSTEMS ${VRX_SUBSYSTEMS} ${name} CACHE INTERNAL "")
endfunction()

# vrx_test(NAME SOURCES a_test.cpp ... [LIBS lib ...])
# One GoogleTest executable, its cases registered with CTest.
function(vrx_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    VRX_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    VRX_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# A folder's CMakeLists.txt may be shared by several owners: each owner puts
# a fragment NAME.cmake beside it, which appends to vrx_sources and
# vrx_depends (library folders) or declares its own targets (test folders).
macro(vrx_include_fragments)
  file(GLOB _vrx_fragments CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  list(SORT _vrx_fragments)
  foreach(_vrx_fragment ${_vrx_fragments})
    include(${_vrx_fragment})
  endforeach()
endmacro()

# vrx_fuzzer(NAME SOURCES a.cpp ... [LIBS lib ...]): a libFuzzer target.
function(vrx_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endfunction()
