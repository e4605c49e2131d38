# Scanner and grammar of the configuration text, generated into the build
# tree. A change in the grammar's conflicts fails the build (%expect).
flex_target(cf_lexer ${CMAKE_CURRENT_SOURCE_DIR}/cf_lexer.l ${CMAKE_CURRENT_BINARY_DIR}/cf_lexer.cpp)
bison_target(cf_grammar ${CMAKE_CURRENT_SOURCE_DIR}/cf_grammar.y ${CMAKE_CURRENT_BINARY_DIR}/cf_grammar.cpp
             DEFINES_FILE ${CMAKE_CURRENT_BINARY_DIR}/cf_grammar.hpp)
add_flex_bison_dependency(cf_lexer cf_grammar)
list(APPEND vrx_sources cf_parser.cpp ${FLEX_cf_lexer_OUTPUTS} ${BISON_cf_grammar_OUTPUTS})
