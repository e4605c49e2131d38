vrx_fuzzer(fuzz_scan_answer SOURCES fuzz_scan_answer.cpp LIBS vorex)
