vrx_fuzzer(fuzz_worker SOURCES fuzz_worker.cpp LIBS vorex)
