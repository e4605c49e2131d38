// Configuration texts that are accepted, and the calls the parser context
// receives for them.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "conf_parser/parser_recorder.h"
#include "support/temp_folder.h"

namespace {

struct accept_case {
    const char* what;
    std::string text;
    std::vector<std::string> calls;
};

const std::string url_is_a =
    "expr\n"
    "op_ieq_string (\n"
    "|   value_var_string(request_url)\n"
    "|   value_const_string(\"a\")\n"
    ")\n";

const std::vector<accept_case> accept_cases = {
    {"empty text", "", {}},
    {"blank lines and comments", "\n  \t\n# a comment\n; another\n\n", {}},
    {"no final line end", "Timeout = 30", {"global Timeout = \"30\""}},
    {"comment after a value ends the assignment",
     "Timeout = 30 # seconds\nLogLevel = 3\n",
     {"global Timeout = \"30\"", "global LogLevel = \"3\""}},
    {"comment after a quoted value", "A = \"x y\" # c\nB = 2\n",
     {"global A = \"x y\"", "global B = \"2\""}},
    {"semicolon inside a value", "A = b;c\n", {"global A = \"b;c\""}},
    {"semicolon followed by value bytes starts a value", "A = ;b\n", {"global A = \";b\""}},
    {"semicolon and blank start a comment", "A = ; b\nB = 1\n",
     {"global A = \"\"", "global B = \"1\""}},
    {"nothing after the equals sign", "A =\nB=\n", {"global A = \"\"", "global B = \"\""}},
    {"list of three", "Hosts = a.example, b ,c\n", {"global Hosts = [\"a.example\", \"b\", \"c\"]"}},
    {"quoted value keeps blanks and escaped quotes",
     "A = \"say \\\"hi\\\" C:\\dir \"\n", {"global A = \"say \"hi\" C:\\dir \""}},
    {"keywords and names keep their case", "[Main]\nmAxBlockSize = 10\n",
     {"global mAxBlockSize = \"10\""}},
    {"CR LF line ends", "A = 1\r\nB = 2\r\n\r\n[x]\r\nC = 3\r\n",
     {"global A = \"1\"", "global B = \"2\"", "global C = \"3\""}},
    {"sections without bodies", "[a]\n\n[b]\n[DEF]\n[Match]\n", {}},
    {"words that only begin with a keyword name ordinary sections",
     "[matches]\nA = 1\n[define]\nB = 2\n", {"global A = \"1\"", "global B = \"2\""}},
    {"match condition, overrides, then global again",
     "A = 1\n[match]\nif request_url == \"a\" {\nBlockAll = yes\n}\n"
     "[main]\nBlockAll = no\n",
     {"global A = \"1\"", url_is_a, "match BlockAll = \"yes\"", "global BlockAll = \"no\""}},
    {"condition over lines with a comment before the brace",
     "[match]\nif request_url == \"a\" # why\n\n{\n# inside\nBlockAll = yes\n\n}\n\n"
     "if request_username != request_url\n{\nBlockPorno = no\n}\n",
     {url_is_a, "match BlockAll = \"yes\"",
      "expr\n"
      "op_ineq_string (\n"
      "|   value_var_string(request_username)\n"
      "|   value_var_string(request_url)\n"
      ")\n",
      "match BlockPorno = \"no\""}},
    {"empty if block registers nothing",
     "[match]\nif request_url == \"a\" {\n\n}\nif request_url == \"a\" {\nBlockAll = yes\n}\n",
     {url_is_a, "match BlockAll = \"yes\""}},
    {"precedence: not, and, or",
     "[match]\nif !request_url == \"a\" || request_username ~ \"^b\" && "
     "request_ip <<= \"10.0.0.0/8\" {\nX = 1\n}\n",
     {"expr\n"
      "or (\n"
      "|   not (\n"
      "|   |   op_ieq_string (\n"
      "|   |   |   value_var_string(request_url)\n"
      "|   |   |   value_const_string(\"a\")\n"
      "|   |   )\n"
      "|   )\n"
      "|   and (\n"
      "|   |   string_op_regex (\n"
      "|   |   |   value_var_string(request_username)\n"
      "|   |   |   value_const_regex(\"^b\")\n"
      "|   |   )\n"
      "|   |   op_belongs_cidr (\n"
      "|   |   |   value_var_cidr(request_ip)\n"
      "|   |   |   value_const_cidr(\"10.0.0.0/255.0.0.0\")\n"
      "|   |   )\n"
      "|   )\n"
      ")\n",
      "match X = \"1\""}},
    {"functions, parentheses and time comparisons",
     "[def]\nwork = { system_time >= \"08:00\" &&\n  system_time < \"18:00\" }\n"
     "[match]\nif !(work() || request_ip <<= \"\") {\nX = 1\n}\n",
     {"func work\n"
      "and (\n"
      "|   op_ge_time (\n"
      "|   |   value_var_time(system_time)\n"
      "|   |   value_const_time(\"08:00\")\n"
      "|   )\n"
      "|   op_lt_time (\n"
      "|   |   value_var_time(system_time)\n"
      "|   |   value_const_time(\"18:00\")\n"
      "|   )\n"
      ")\n",
      "expr\n"
      "not (\n"
      "|   or (\n"
      "|   |   work()\n"
      "|   |   op_belongs_cidr (\n"
      "|   |   |   value_var_cidr(request_ip)\n"
      "|   |   |   value_const_cidr(\"EMPTY\")\n"
      "|   |   )\n"
      "|   )\n"
      ")\n",
      "match X = \"1\""}},
    {"MIME blocks, plain and bracketed",
     "MimeStart\ntext pass all\nMimeEnd\n[s]\n[MimeStart]\r\n* scan all\nmimeend\n",
     {"mime text pass all\nMimeEnd", "mime \n* scan all\nmimeend"}},
};

// The list forms read their lookup file while the text is parsed.
TEST(parser_accept, lookup_file_operators) {
    const temp_folder dir("parser_lookup");
    const std::string path = dir.write("list", "10.0.0.0/8\n");
    const std::string text = "[MATCH]\nIF request_url == file: \"" + path + "\" || request_url ~ FILE: \"" +
                             path + "\" || request_ip <<= File: \"" + path + "\" {\nX = 1\n}\n";
    parser_recorder recorder;
    EXPECT_EQ(parse_error(text, recorder), "");
    const std::string list = "|   |   |   list(\"" + path + "\")\n";
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{
                                  "expr\n"
                                  "or (\n"
                                  "|   or (\n"
                                  "|   |   op_list_ieq (\n"
                                  "|   |   |   value_var_string(request_url)\n" + list +
                                  "|   |   )\n"
                                  "|   |   string_op_list_regex (\n"
                                  "|   |   |   value_var_string(request_url)\n" + list +
                                  "|   |   )\n"
                                  "|   )\n"
                                  "|   op_list_belongs (\n"
                                  "|   |   value_var_cidr(request_ip)\n"
                                  "|   |   list(\"" + path + "\")\n"
                                  "|   )\n"
                                  ")\n",
                                  "match X = \"1\""}));
}

TEST(parser_accept, texts_give_the_calls_in_order) {
    for (const accept_case& c : accept_cases) {
        parser_recorder recorder;
        EXPECT_EQ(parse_error(c.text, recorder), "") << c.what;
        EXPECT_EQ(recorder.calls, c.calls) << c.what;
    }
}

}  // namespace
