/* Grammar of the configuration text. Actions only build expression nodes
   and call the parser context. A line end after a section header, a
   section body or the "{" of an if block may continue the construct or
   close it; the GLR parser follows both readings until the next tokens
   decide, deferring the actions meanwhile. */

%code requires {
#include <string>
#include <vector>

#include "conf_parser/cf_expr.h"
#include "conf_parser/cf_parser.h"
}

%code {
#include <stdexcept>

#include "conf_parser/cf_parse_state.h"

#define YYINITDEPTH 200
#define YYMAXDEPTH 10000

namespace {

// True between a match section header and the next section header.
bool in_match_section = false;

using expr::string_type_traits;
using expr::time_type_traits;
using expr::cidr_type_traits;
using expr::regex_type_traits;

// Nodes built but not yet owned by a parent or handed to the context.
parse_pool<expr::node_ptr> node_pool;
parse_pool<expr::value_ptr<string_type_traits>> string_value_pool;
parse_pool<expr::value_ptr<time_type_traits>> time_value_pool;
parse_pool<expr::value_ptr<cidr_type_traits>> cidr_value_pool;
parse_pool<expr::value_ptr<regex_type_traits>> regex_value_pool;

expr::node_ptr* keep(expr::expression* node) { return node_pool.keep(expr::node_ptr(node)); }
auto keep(expr::value<string_type_traits>* v) { return string_value_pool.keep(expr::value_ptr<string_type_traits>(v)); }
auto keep(expr::value<time_type_traits>* v) { return time_value_pool.keep(expr::value_ptr<time_type_traits>(v)); }
auto keep(expr::value<cidr_type_traits>* v) { return cidr_value_pool.keep(expr::value_ptr<cidr_type_traits>(v)); }
auto keep(expr::value<regex_type_traits>* v) { return regex_value_pool.keep(expr::value_ptr<regex_type_traits>(v)); }

// Ownership of a pooled node passes to the caller.
template <class P>
P take(P* slot) { return std::move(*slot); }

expr_ptr share(expr::node_ptr* slot) { return expr_ptr(take(slot).release()); }

void set_param(parser_context& context, const std::string& name, const std::string& value) {
    if (!context.set(name, value, !in_match_section))
        throw std::runtime_error("Param not found");
}

void set_param(parser_context& context, const std::string& name, const std::vector<std::string>& value) {
    if (!context.set(name, value, !in_match_section))
        throw std::runtime_error("Param not found");
}

void yyerror(parser_context&, const char* message) { cf_record_error("parser", message); }

}  // namespace

// A failing action ends the parse with the exception's message.
#define ACTION(...) \
    try { __VA_ARGS__; } catch (const std::exception& e) { cf_record_error("parser", e.what()); YYABORT; }
}

%glr-parser
%define parse.error verbose
%expect 7
%expect-rr 0
%parse-param {parser_context& context}
%initial-action { in_match_section = false; }

%union {
    const std::string* text;
    std::vector<std::string>* list;
    expr::node_ptr* node;
    expr::value_ptr<expr::string_type_traits>* string_value;
    expr::value_ptr<expr::time_type_traits>* time_value;
    expr::value_ptr<expr::cidr_type_traits>* cidr_value;
    expr::value_ptr<expr::regex_type_traits>* regex_value;
}

/* Syntax errors name the end of input "$end". */
%token YYEOF 0 "$end"
%token CF_EOL 258
%token CF_MIME_START 259
%token CF_MIME_SECTION_BODY 260
%token <text> CF_MIME_END 261
%token CF_ASSIGN 262
%token <text> CF_STRING 263
%token CF_COMMA 264
%token CF_KW_MATCH 265
%token CF_KW_DEF 266
%token CF_KW_IF 267
%token CF_LOOKUP_FILE 268
%token <text> CF_ID 269
%token <text> CF_EXPR_VAR_STRING 270
%token <text> CF_EXPR_VAR_CIDR 271
%token <text> CF_EXPR_VAR_TIME 272
%token CF_EXPR_OR 273
%token CF_EXPR_AND 274
%token CF_EXPR_NOT 275
%token CF_EXPR_EQ 276
%token CF_EXPR_NEQ 277
%token CF_EXPR_GT 278
%token CF_EXPR_GE 279
%token CF_EXPR_LT 280
%token CF_EXPR_LE 281
%token CF_EXPR_REGEX 282
%token CF_EXPR_CIDR_BELONGS 283

%left CF_EXPR_OR
%left CF_EXPR_AND
%precedence CF_EXPR_NOT

%type <node> cf_bool_expr
%type <string_value> cf_string_value cf_string_const cf_string_var
%type <time_value> cf_time_value cf_time_const cf_time_var
%type <cidr_value> cf_cidr_value cf_cidr_const cf_cidr_var
%type <regex_value> cf_regex_value
%type <list> cf_value_stringlist cf_value_stringlist2
%type <text> cf_param

%start config

%%

config
    : opt_eols
    | opt_eols list_of_sections opt_eols
    | opt_eols conf_section_body eols list_of_sections opt_eols
    | opt_eols conf_section_body opt_eols
    ;

list_of_sections
    : concrete_section
    | list_of_sections eols concrete_section
    ;

concrete_section
    : ordinary_section
    | def_section
    | match_section
    ;

ordinary_section
    : ordinary_section_decl
    | ordinary_section_decl eols conf_section_body
    ;

ordinary_section_decl
    : '[' CF_ID ']'                 { in_match_section = false; }
    ;

match_section
    : match_section_decl
    | match_section_decl eols match_section_body
    ;

match_section_decl
    : '[' CF_KW_MATCH ']'           { in_match_section = true; }
    ;

match_section_body
    : if_block
    | match_section_body eols if_block
    ;

if_block
    : CF_KW_IF cf_bool_expr opt_eols '{'
                                    { ACTION(context.run_callback_add_expr(share($2))) }
      eols conf_section_body eols '}'
    | CF_KW_IF cf_bool_expr opt_eols '{' eols '}'
    ;

def_section
    : def_section_decl
    | def_section_decl eols functions_decl_list
    ;

def_section_decl
    : '[' CF_KW_DEF ']'             { in_match_section = false; }
    ;

functions_decl_list
    : func_decl
    | functions_decl_list eols func_decl
    ;

func_decl
    : CF_ID CF_ASSIGN '{' cf_bool_expr '}'
                                    { ACTION(context.run_callback_add_func(*$1, share($4))) }
    ;

conf_section_body
    : conf_param_decl
    | conf_section_body eols conf_param_decl
    ;

cf_bool_expr
    : '(' cf_bool_expr ')'          { $$ = $2; }
    | CF_ID '(' ')'                 { ACTION($$ = keep(new expr::bool_ref(context.run_callback_get_func(*$1), *$1))) }
    | cf_bool_expr CF_EXPR_OR cf_bool_expr
                                    { ACTION($$ = keep(new expr::bool_or(take($1), take($3)))) }
    | cf_bool_expr CF_EXPR_AND cf_bool_expr
                                    { ACTION($$ = keep(new expr::bool_and(take($1), take($3)))) }
    | CF_EXPR_NOT cf_bool_expr      { ACTION($$ = keep(new expr::bool_not(take($2)))) }
    | cf_time_var CF_EXPR_LT cf_time_value
                                    { ACTION($$ = keep(new expr::op_lt<time_type_traits>(take($1), take($3)))) }
    | cf_time_var CF_EXPR_GT cf_time_value
                                    { ACTION($$ = keep(new expr::op_gt<time_type_traits>(take($1), take($3)))) }
    | cf_time_var CF_EXPR_LE cf_time_value
                                    { ACTION($$ = keep(new expr::op_le<time_type_traits>(take($1), take($3)))) }
    | cf_time_var CF_EXPR_GE cf_time_value
                                    { ACTION($$ = keep(new expr::op_ge<time_type_traits>(take($1), take($3)))) }
    | cf_string_var CF_EXPR_EQ cf_string_value
                                    { ACTION($$ = keep(new expr::op_ieq(take($1), take($3)))) }
    | cf_string_var CF_EXPR_NEQ cf_string_value
                                    { ACTION($$ = keep(new expr::op_ineq(take($1), take($3)))) }
    | cf_string_var CF_EXPR_EQ CF_LOOKUP_FILE CF_STRING
                                    { ACTION($$ = keep(new expr::op_list_ieq(take($1), *$4))) }
    | cf_string_var CF_EXPR_REGEX cf_regex_value
                                    { ACTION($$ = keep(new expr::op_regex(take($1), take($3)))) }
    | cf_string_var CF_EXPR_REGEX CF_LOOKUP_FILE CF_STRING
                                    { ACTION($$ = keep(new expr::op_list_regex(take($1), *$4))) }
    | cf_cidr_var CF_EXPR_CIDR_BELONGS cf_cidr_value
                                    { ACTION($$ = keep(new expr::op_belongs(take($1), take($3)))) }
    | cf_cidr_var CF_EXPR_CIDR_BELONGS CF_LOOKUP_FILE CF_STRING
                                    { ACTION($$ = keep(new expr::op_list_belongs(take($1), *$4))) }
    ;

cf_regex_value
    : CF_STRING                     { ACTION($$ = keep(new expr::value_const<regex_type_traits>(compiled_re(*$1)))) }
    ;

cf_string_value
    : cf_string_const
    | cf_string_var
    ;

cf_string_const
    : CF_STRING                     { ACTION($$ = keep(new expr::value_const<string_type_traits>(*$1))) }
    ;

cf_string_var
    : CF_EXPR_VAR_STRING            { ACTION($$ = keep(new expr::value_var<string_type_traits>(*$1))) }
    ;

cf_time_value
    : cf_time_const
    | cf_time_var
    ;

cf_time_const
    : CF_STRING                     { ACTION($$ = keep(new expr::value_const<time_type_traits>(parse_time(*$1)))) }
    ;

cf_time_var
    : CF_EXPR_VAR_TIME              { ACTION($$ = keep(new expr::value_var<time_type_traits>(*$1))) }
    ;

cf_cidr_value
    : cf_cidr_const
    | cf_cidr_var
    ;

cf_cidr_const
    : CF_STRING                     { ACTION($$ = keep(new expr::value_const<cidr_type_traits>(make_cidr(*$1)))) }
    ;

cf_cidr_var
    : CF_EXPR_VAR_CIDR              { ACTION($$ = keep(new expr::value_var<cidr_type_traits>(*$1))) }
    ;

cf_param
    : CF_ID
    ;

conf_param_decl
    : mime_block
    | cf_param CF_ASSIGN            { ACTION(set_param(context, *$1, std::string())) }
    | cf_param CF_ASSIGN CF_STRING  { ACTION(set_param(context, *$1, *$3)) }
    | cf_param CF_ASSIGN cf_value_stringlist
                                    { ACTION(set_param(context, *$1, *$3)) }
    ;

cf_value_stringlist
    : cf_value_stringlist2
    | cf_value_stringlist CF_COMMA CF_STRING
                                    { ACTION($1->push_back(*$3); $$ = $1) }
    ;

cf_value_stringlist2
    : CF_STRING CF_COMMA CF_STRING  { ACTION($$ = list_pool.keep({*$1, *$3})) }
    ;

mime_block
    : CF_MIME_START CF_MIME_END
        {
            ACTION(
                if (in_match_section)
                    throw std::runtime_error("Mime parameters cannot be overriden");
                context.add_mime_block(*$2))
        }
    ;

opt_eols
    : %empty
    | eols
    ;

eols
    : CF_EOL
    | eols CF_EOL
    ;

%%

int cf_grammar_parse(parser_context& context) {
    const int result = yyparse(context);
    node_pool.clear();
    string_value_pool.clear();
    time_value_pool.clear();
    cidr_value_pool.clear();
    regex_value_pool.clear();
    list_pool.clear();
    return result;
}
