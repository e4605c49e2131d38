vrx_fuzzer(fuzz_filters SOURCES fuzz_filters.cpp LIBS vrx_filters vrx_base)
