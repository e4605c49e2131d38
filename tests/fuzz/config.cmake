vrx_fuzzer(fuzz_config SOURCES fuzz_config.cpp LIBS vrx_conf_parser vrx_base vrx_icap)
