vrx_fuzzer(fuzz_settings SOURCES fuzz_settings.cpp LIBS vrx_settings)
