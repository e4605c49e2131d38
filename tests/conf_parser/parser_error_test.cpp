// Configuration texts that are refused: the exact message and line, and a
// clean scanner for the next parse.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "conf_parser/cf_values.h"
#include "conf_parser/parser_recorder.h"

namespace {

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

struct error_case {
    const char* what;
    std::string text;
    std::string error;
};

const std::string match_if = "[match]\nif ";

std::string repeated(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += piece;
    return text;
}

// f1 calls f0, f2 calls f1, ...: a chain of calls `count` functions long.
std::string function_chain(int count) {
    std::string text = "[def]\nf0 = { request_url == \"a\" }\n";
    for (int i = 1; i < count; ++i)
        text += "f" + std::to_string(i) + " = { f" + std::to_string(i - 1) + "() }\n";
    return text;
}

const std::vector<error_case> error_cases = {
    // Scanner
    {"blank in a section name", "A = 1\n[my section]\n",
     "lexer error at line 2: Unexpected symbol in section name:  "},
    {"line end in a section name", "[main\n", "lexer error at line 2: Unexpected EOL in section name"},
    {"stray byte", "A = 1\n@\n", "lexer error at line 2: unrecognized input: \"@\""},
    {"control byte in a value", "A = x\x01y\n", "lexer error at line 1: Unexpected symbol in assignment: \x01"},
    {"unterminated quote", "A = \"abc\nB = 1\n", "lexer error at line 2: unterminated quote"},
    {"MIME end outside a block", "A = 1\nMimeEnd\n", "lexer error at line 3: MimeEnd out of mime section"},
    {"single = in a condition", match_if + "request_url = \"a\" {\n",
     "lexer error at line 2: Unrecognized input in bool expression: \"=\""},
    {"CR line ends count no lines", "A = 1\rB = 2\r[x y]\r",
     "lexer error at line 1: Unexpected symbol in section name:  "},
    // Syntax
    {"name without a value", "A = 1\nTimeout\n",
     "parser error at line 3: syntax error, unexpected CF_EOL, expecting CF_ASSIGN"},
    {"header not on its own line", "[main] A = 1\n",
     "parser error at line 1: syntax error, unexpected CF_ID, expecting $end"},
    {"MIME block open at the end", "MimeStart\ntext pass all\n",
     "parser error at line 3: syntax error, unexpected $end, expecting CF_MIME_END"},
    {"bracketed end marker inside a block", "MimeStart\ntext pass all\n[MimeEnd]\n",
     "parser error at line 3: syntax error, unexpected ']', expecting $end"},
    {"time compared as text", match_if + "system_time == \"08:00\" {\n",
     "parser error at line 2: syntax error, unexpected CF_EXPR_EQ, expecting CF_EXPR_GT or CF_EXPR_GE or "
     "CF_EXPR_LT or CF_EXPR_LE"},
    {"deep nesting exhausts the stack", match_if + std::string(20000, '(') + "\n",
     "parser error at line 2: memory exhausted"},
    // A left-associative chain deepens the tree, not the parser's stack.
    {"long || chain", match_if + repeated("request_url == \"a\" || ", 1000) + "request_url == \"a\" {\n",
     "parser error at line 2: bool expression nested too deeply"},
    {"long chain of function calls", function_chain(1001),
     "parser error at line 1002: bool expression nested too deeply"},
    // Semantic
    {"unknown parameter", "A = 1\nNoSuch = 2\n", "parser error at line 3: Param not found"},
    {"error from the context", match_if + "request_url == \"a\" {\nGlobalOnly = 1\n}\n",
     "parser error at line 4: Param GlobalOnly is global only"},
    {"variable name in capitals", match_if + "REQUEST_URL == \"a\" {\nX = 1\n}\n",
     "parser error at line 2: Unknown variable: REQUEST_URL"},
    {"function used before its definition", match_if + "f() {\nX = 1\n}\n",
     "parser error at line 2: Function f not found"},
    {"function defined twice", "[def]\nf = { request_url == \"a\" }\nf = { request_url == \"b\" }\n",
     "parser error at line 3: Function f already exists"},
    {"bad network constant", match_if + "request_ip <<= \"10.0.0.1/40\" {\n",
     "parser error at line 2: " + message_of([] { make_cidr("10.0.0.1/40"); })},
    {"bad time constant", match_if + "system_time < \"25:00\" {\n",
     "parser error at line 2: " + message_of([] { parse_time("25:00"); })},
    {"missing lookup file", match_if + "request_url == FILE: \"/nonexistent/list\" {\n",
     "parser error at line 2: " + message_of([] { load_string_list("/nonexistent/list"); })},
    {"MIME block inside a match section",
     match_if + "request_url == \"a\" {\n[MimeStart]\n* pass all\nMimeEnd\n}\n",
     "parser error at line 5: Mime parameters cannot be overriden"},
};

TEST(parser_error, texts_give_the_exact_message) {
    for (const error_case& c : error_cases) {
        parser_recorder recorder;
        EXPECT_EQ(parse_error(c.text, recorder), c.error) << c.what;
    }
}

// Calls made before the error stay made; the loader discards them.
TEST(parser_error, calls_before_the_error_are_kept) {
    parser_recorder recorder;
    EXPECT_NE(parse_error("A = 1\nB = \"x\n", recorder), "");
    EXPECT_EQ(recorder.calls, std::vector<std::string>{"global A = \"1\""});
}

// Each failure leaves the scanner in some state and some line; the next
// parse must start at INITIAL, line 1, in no section.
TEST(parser_error, next_parse_starts_clean) {
    const std::vector<std::string> failures = {
        "A = \"open\n",
        match_if + "request_url == \"a",
        "[def]\nf = { request_url == \"a\" ",
        "MimeStart\nrest\n",
        "\n\n\n[x y]\n",
    };
    for (const std::string& failure : failures) {
        parser_recorder first;
        EXPECT_NE(parse_error(failure, first), "") << failure;
        parser_recorder second;
        EXPECT_EQ(parse_error("A = 1\nMimeStart\nx\nMimeEnd\n@", second),
                  "lexer error at line 5: unrecognized input: \"@\"")
            << failure;
        EXPECT_EQ(second.calls, (std::vector<std::string>{"global A = \"1\"", "mime x\nMimeEnd"})) << failure;
    }
}

}  // namespace
