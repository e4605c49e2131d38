#pragma once
// The configuration parser and the context it reports to. The grammar only
// builds expression nodes and calls this context; the parameter registry
// implements it.

#include <cstddef>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace expr {
class expression;
}

using expr_ptr = boost::shared_ptr<const expr::expression>;

class parser_context {
public:
    virtual ~parser_context() = default;

    // One assignment; `global` is false inside a match section. Returns
    // false when no parameter of that name exists ("Param not found").
    virtual bool set(const std::string& name, const std::string& value, bool global) = 0;
    virtual bool set(const std::string& name, const std::vector<std::string>& value, bool global) = 0;

    // Condition of the match block whose overrides follow.
    virtual void run_callback_add_expr(const expr_ptr& condition) = 0;
    virtual void run_callback_add_func(const std::string& name, const expr_ptr& body) = 0;
    virtual expr_ptr run_callback_get_func(const std::string& name) = 0;

    // The text of one MIME block, for the MIME rules parser.
    virtual void add_mime_block(const std::string& text) = 0;
};

// Parses one whole configuration text. Errors are std::runtime_error with
// "lexer error at line N: ..." or "parser error at line N: ..."; the scanner
// is reset after every parse.
void cf_parse_buffer(const char* text, size_t length, parser_context& context);
