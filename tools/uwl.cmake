# List-file writer library (used by the builder, the tests and the benchmark)
# and the builder program.
add_library(vrx_uwl_writer STATIC ${CMAKE_CURRENT_LIST_DIR}/uwl_writer.cpp
            ${CMAKE_CURRENT_LIST_DIR}/squidguard_import.cpp)
target_include_directories(vrx_uwl_writer PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vrx_uwl_writer PUBLIC vrx_uwl_files OpenSSL::Crypto)

add_executable(uwl_build ${CMAKE_CURRENT_LIST_DIR}/uwl_build.cpp)
target_link_libraries(uwl_build PRIVATE vrx_uwl_writer)

set(VRX_UWL_PRIVATE_KEY ${CMAKE_SOURCE_DIR}/keys/uwl_private.pem CACHE FILEPATH
    "PEM private DSA key the tests and the benchmark sign their list files with")

# Benchmark of list-file loading and lookups (run by bench/uwl_bench.sh).
add_executable(uwl_bench ${CMAKE_CURRENT_LIST_DIR}/uwl_bench.cpp)
target_link_libraries(uwl_bench PRIVATE vrx_uwl_writer vorex)
target_compile_definitions(uwl_bench PRIVATE VRX_UWL_PRIVATE_KEY="${VRX_UWL_PRIVATE_KEY}")
