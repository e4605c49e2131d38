vrx_fuzzer(fuzz_worker SOURCES fuzz_worker.cpp LIBS vorex)
vrx_fuzzer(fuzz_connection SOURCES fuzz_worker.cpp LIBS vorex)
target_compile_definitions(fuzz_connection PRIVATE VRX_FUZZ_PIECES)
