#pragma once
// State of the one parse in progress, shared by the scanner (cf_lexer.l),
// the grammar (cf_grammar.y) and cf_parse_buffer. The parser's semantic
// values are plain pointers into these pools, so whatever a failed parse
// or a discarded GLR branch leaves behind is freed when the pools clear.

#include <cstddef>
#include <deque>
#include <string>
#include <utility>
#include <vector>

class parser_context;

// Objects kept alive until the end of the parse; addresses stay valid.
template <class T>
class parse_pool {
public:
    T* keep(T value) {
        items_.push_back(std::move(value));
        return &items_.back();
    }
    void clear() { std::deque<T>().swap(items_); }

private:
    std::deque<T> items_;
};

// Token texts handed to the parser, and the lists built from them.
extern parse_pool<std::string> string_pool;
extern parse_pool<std::vector<std::string>> list_pool;

// A copy of a token text in string_pool; raises "error in strdup(): ..."
// when memory runs out.
const std::string* assign_string_copy(const char* text, size_t length);

// Keeps the first error of the parse: "<kind> error at line N: <message>".
void cf_record_error(const char* kind, const std::string& message);

// Scanner (cf_lexer.l).
int yylex();
// Scans a copy of the text; returns false when the scanner cannot take
// a buffer of that length.
bool cf_scanner_begin(const char* text, size_t length);
// Frees the buffers, empties the start-condition stack, back to INITIAL
// at line 1.
void cf_scanner_reset();
int cf_scanner_line();

// Grammar (cf_grammar.y): yyparse with a fresh parser state; frees the
// expression nodes left over.
int cf_grammar_parse(parser_context& context);
