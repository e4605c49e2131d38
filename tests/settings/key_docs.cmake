vrx_test(settings_key_docs_test SOURCES key_docs_test.cpp LIBS vrx_settings)
