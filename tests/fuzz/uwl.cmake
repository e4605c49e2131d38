vrx_fuzzer(fuzz_uwl_parse SOURCES fuzz_uwl_parse.cpp LIBS vrx_uwl_writer vorex)
vrx_fuzzer(fuzz_uwl_match SOURCES fuzz_uwl_match.cpp LIBS vrx_uwl_writer vorex)
