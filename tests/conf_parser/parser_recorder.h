#pragma once
// A parser context that records every call as one line of text. Functions
// are kept in a real function store, so lookups behave as at a load.

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "conf_parser/cf_expr.h"
#include "conf_parser/cf_parser.h"

class parser_recorder : public parser_context {
public:
    std::vector<std::string> calls;

    // "NoSuch" is no parameter; "GlobalOnly" refuses to be overridden.
    bool set(const std::string& name, const std::string& value, bool global) override {
        return record_set(name, "\"" + value + "\"", global);
    }
    bool set(const std::string& name, const std::vector<std::string>& value, bool global) override {
        std::string text = "[";
        for (const std::string& item : value)
            text += (text.size() > 1 ? ", \"" : "\"") + item + "\"";
        return record_set(name, text + "]", global);
    }
    void run_callback_add_expr(const expr_ptr& condition) override {
        calls.push_back("expr\n" + printed(*condition));
    }
    void run_callback_add_func(const std::string& name, const expr_ptr& body) override {
        functions.add(name, body);
        calls.push_back("func " + name + "\n" + printed(*body));
    }
    expr_ptr run_callback_get_func(const std::string& name) override { return functions.get(name); }
    void add_mime_block(const std::string& text) override { calls.push_back("mime " + text); }

    static std::string printed(const expr::expression& e) {
        std::ostringstream out;
        e.print(out, 0);
        return out.str();
    }

private:
    expr::function_store functions;

    bool record_set(const std::string& name, const std::string& value, bool global) {
        if (name == "NoSuch")
            return false;
        if (name == "GlobalOnly" && !global)
            throw std::runtime_error("Param " + name + " is global only");
        calls.push_back((global ? "global " : "match ") + name + " = " + value);
        return true;
    }
};

// Parses the text; returns the error message, or "" when it was accepted.
inline std::string parse_error(const std::string& text, parser_recorder& recorder) {
    try {
        cf_parse_buffer(text.data(), text.size(), recorder);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}
