#include "conf_parser/cf_expr.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "conf_parser/expr_context.h"

namespace expr {

void print_indent(std::ostream& out, int32_t indent) {
    for (int32_t i = 0; i < indent; ++i)
        out << "|   ";
}

void print_open(std::ostream& out, int32_t indent, const char* name) {
    print_indent(out, indent);
    out << name << " (\n";
}

void print_close(std::ostream& out, int32_t indent) {
    print_indent(out, indent);
    out << ")\n";
}

expression::expression(int32_t depth) : depth_(depth) {
    if (depth > max_expression_depth)
        throw std::runtime_error("bool expression nested too deeply");
}

void check_variable_name(const std::string& name) {
    if (name != "request_url" && name != "request_username" && name != "request_ip" &&
        name != "system_time")
        throw std::runtime_error("Unknown variable: " + name);
}

std::string string_type_traits::to_text(const value_type& v) { return v; }

std::string string_type_traits::variable(const expr_context& ctx, const std::string& name) {
    return ctx.get_string(name);
}

std::vector<std::string> string_type_traits::load_list(const std::string& file_name) {
    return load_string_list(file_name);
}

std::string time_type_traits::to_text(const value_type& v) {
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d", v.hour, v.minute);
    return text;
}

time_of_day time_type_traits::variable(const expr_context& ctx, const std::string& name) {
    return ctx.get_time(name);
}

std::string cidr_type_traits::to_text(const value_type& v) { return v ? v->to_string() : "EMPTY"; }

cidr_ptr cidr_type_traits::variable(const expr_context& ctx, const std::string& name) {
    return ctx.get_cidr(name);
}

std::vector<cidr_ptr> cidr_type_traits::load_list(const std::string& file_name) {
    return load_cidr_list(file_name);
}

std::string regex_type_traits::to_text(const value_type& v) { return v.pattern(); }

std::vector<compiled_re> regex_type_traits::load_list(const std::string& file_name) {
    return load_regex_list(file_name);
}

void bool_2arg::print(std::ostream& out, int32_t indent) const {
    print_open(out, indent, name());
    left_->print(out, indent + 1);
    right_->print(out, indent + 1);
    print_close(out, indent);
}

bool bool_or::evaluate(const expr_context& ctx) const {
    return left_->evaluate(ctx) || right_->evaluate(ctx);
}

bool bool_and::evaluate(const expr_context& ctx) const {
    return left_->evaluate(ctx) && right_->evaluate(ctx);
}

void bool_1arg::print(std::ostream& out, int32_t indent) const {
    print_open(out, indent, name());
    arg_->print(out, indent + 1);
    print_close(out, indent);
}

bool bool_not::evaluate(const expr_context& ctx) const { return !arg_->evaluate(ctx); }

bool bool_ref::evaluate(const expr_context& ctx) const {
    const expr_ptr body = body_.lock();
    // The function store outlives its references; a released store must
    // not turn into a crash.
    if (!body)
        throw std::runtime_error("Function " + function_name_ + " not found");
    return body->evaluate(ctx);
}

void bool_ref::print(std::ostream& out, int32_t indent) const {
    print_indent(out, indent);
    out << function_name_ << "()\n";
}

namespace {

bool equal_ignoring_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool not_equal_ignoring_case(const std::string& a, const std::string& b) {
    return !equal_ignoring_case(a, b);
}

bool regex_matches(const std::string& text, const compiled_re& re) { return re.match(text); }

// No network lies within no network, and nowhere else.
bool network_within(const cidr_ptr& a, const cidr_ptr& b) {
    if (!a)
        return !b;
    if (!b)
        return false;
    return a->belongs_to(*b);
}

}  // namespace

op_ieq::comparator_type op_ieq::comparator() const { return equal_ignoring_case; }
op_ineq::comparator_type op_ineq::comparator() const { return not_equal_ignoring_case; }
op_regex::comparator_type op_regex::comparator() const { return regex_matches; }
op_belongs::comparator_type op_belongs::comparator() const { return network_within; }

template <> const char* op_lt<time_type_traits>::name() const { return "op_lt_time"; }
template <> const char* op_gt<time_type_traits>::name() const { return "op_gt_time"; }
template <> const char* op_le<time_type_traits>::name() const { return "op_le_time"; }
template <> const char* op_ge<time_type_traits>::name() const { return "op_ge_time"; }

op_list_ieq::comparator_type op_list_ieq::comparator() const { return equal_ignoring_case; }
op_list_regex::comparator_type op_list_regex::comparator() const { return regex_matches; }
op_list_belongs::comparator_type op_list_belongs::comparator() const { return network_within; }

void function_store::add(const std::string& name, const expr_ptr& body) {
    if (!body)
        throw std::invalid_argument("Function " + name + " has no body");
    if (index_.count(name))
        throw std::runtime_error("Function " + name + " already exists");
    entries_.emplace_back(name, body);
    index_.emplace(name, entries_.size() - 1);
}

expr_ptr function_store::get(const std::string& name) const {
    const auto found = index_.find(name);
    if (found == index_.end())
        throw std::runtime_error("Function " + name + " not found");
    return entries_[found->second].second;
}

void function_store::print(std::ostream& out) const {
    for (const auto& entry : entries_) {
        out << "\nFUNCTION: " << entry.first << "\n";
        entry.second->print(out, 0);
    }
}

}  // namespace expr
