#include "conf_parser/cf_parser.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "conf_parser/cf_parse_state.h"

parse_pool<std::string> string_pool;
parse_pool<std::vector<std::string>> list_pool;

namespace {

// The first error of the parse in progress; later ones are consequences.
std::string first_error;
bool error_recorded = false;

// Resets the scanner however the parse ends.
struct scanner_guard {
    ~scanner_guard() { cf_scanner_reset(); }
};

}  // namespace

const std::string* assign_string_copy(const char* text, size_t length) {
    try {
        return string_pool.keep(std::string(text, length));
    } catch (const std::bad_alloc&) {
        throw std::runtime_error(std::string("error in strdup(): ") + std::strerror(ENOMEM));
    }
}

// Runs inside the parser and must not throw through it: without memory for
// the text it stays empty and cf_parse_buffer raises std::bad_alloc.
void cf_record_error(const char* kind, const std::string& message) {
    if (error_recorded)
        return;
    error_recorded = true;
    try {
        first_error = std::string(kind) + " error at line " + std::to_string(cf_scanner_line()) + ": " + message;
    } catch (const std::bad_alloc&) {
        first_error.clear();
    }
}

void cf_parse_buffer(const char* text, size_t length, parser_context& context) {
    first_error.clear();
    error_recorded = false;
    scanner_guard guard;
    if (!cf_scanner_begin(text, length))
        throw std::runtime_error("yy_scan_buffer() returns NULL");
    const int result = cf_grammar_parse(context);
    if (error_recorded) {
        if (first_error.empty())
            throw std::bad_alloc();
        std::string message;
        message.swap(first_error);
        throw std::runtime_error(message);
    }
    if (result != 0)
        throw std::runtime_error("unexpected error while parsing config file");
}
