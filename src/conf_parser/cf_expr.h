#pragma once
// Boolean expressions of match conditions and def functions. The grammar
// builds the trees once at load; the settings evaluate them per request.
//
// Construction hands children over as unique pointers, for example
//   new expr::bool_or(expr::node_ptr($1), expr::node_ptr($3))
//   new expr::op_ieq(expr::value_ptr<expr::string_type_traits>($1), ...)
// and a finished tree is shared as expr_ptr (cf_parser.h).

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "conf_parser/cf_parser.h"
#include "conf_parser/cf_values.h"

class expr_context;

namespace expr {

// Writes "|   " `indent` times.
void print_indent(std::ostream& out, int32_t indent);
// The lines that enclose the children of a node: "NAME (" and ")".
void print_open(std::ostream& out, int32_t indent, const char* name);
void print_close(std::ostream& out, int32_t indent);

// Raises std::runtime_error "Unknown variable: " + name unless the name is
// one of request_url, request_username, request_ip, system_time (exactly).
void check_variable_name(const std::string& name);

// Deepest chain of boolean nodes a tree may hold, function bodies reached
// through calls included. Evaluation, printing and destruction recurse
// along such chains, and a printed line is indented by its depth; a
// left-associative "||" chain grows the tree without growing the parser's
// stack, so the depth is bounded here.
constexpr int32_t max_expression_depth = 1000;

class expression {
public:
    // Raises std::runtime_error beyond max_expression_depth.
    explicit expression(int32_t depth = 1);
    expression(const expression&) = delete;
    expression& operator=(const expression&) = delete;

    virtual bool evaluate(const expr_context& ctx) const = 0;
    virtual void print(std::ostream& out, int32_t indent) const = 0;
    virtual ~expression() = default;
    virtual const char* name() const = 0;

    // Boolean nodes on the longest path from this node down, this one too.
    int32_t depth() const { return depth_; }

private:
    int32_t depth_;
};

using node_ptr = std::unique_ptr<const expression>;

// Value types. Each traits class names its value type, the node names, the
// text form of a constant and, where variables of the type exist, the
// lookup of a variable in the context.
struct string_type_traits {
    using value_type = std::string;
    static constexpr const char* const_name = "value_const_string";
    static constexpr const char* var_name = "value_var_string";
    static std::string to_text(const value_type& v);
    static value_type variable(const expr_context& ctx, const std::string& name);
    static std::vector<value_type> load_list(const std::string& file_name);
};

struct time_type_traits {
    using value_type = time_of_day;
    static constexpr const char* const_name = "value_const_time";
    static constexpr const char* var_name = "value_var_time";
    static std::string to_text(const value_type& v);  // "HH:MM"
    static value_type variable(const expr_context& ctx, const std::string& name);
};

struct cidr_type_traits {
    using value_type = cidr_ptr;
    static constexpr const char* const_name = "value_const_cidr";
    static constexpr const char* var_name = "value_var_cidr";
    static std::string to_text(const value_type& v);  // "EMPTY" for no network
    static value_type variable(const expr_context& ctx, const std::string& name);
    static std::vector<value_type> load_list(const std::string& file_name);
};

struct regex_type_traits {
    using value_type = compiled_re;
    static constexpr const char* const_name = "value_const_regex";
    static std::string to_text(const value_type& v);  // the pattern
    static std::vector<value_type> load_list(const std::string& file_name);
};

// Operand of a comparison; not a boolean node.
template <class T>
class value {
public:
    using value_type = typename T::value_type;

    value() = default;
    value(const value&) = delete;
    value& operator=(const value&) = delete;

    virtual value_type get(const expr_context& ctx) const = 0;
    virtual void print(std::ostream& out, int32_t indent) const = 0;
    virtual ~value() = default;
    virtual const char* name() const = 0;
};

template <class T>
using value_ptr = std::unique_ptr<const value<T>>;

template <class T>
class value_const : public value<T> {
public:
    using value_type = typename T::value_type;

    explicit value_const(value_type v) : value_(std::move(v)) {}

    value_type get(const expr_context&) const override { return value_; }
    void print(std::ostream& out, int32_t indent) const override {
        print_indent(out, indent);
        out << name() << "(\"" << T::to_text(value_) << "\")\n";
    }
    const char* name() const override { return T::const_name; }

private:
    value_type value_;
};

// A request variable; the name is checked when the node is built.
template <class T>
class value_var : public value<T> {
public:
    using value_type = typename T::value_type;

    explicit value_var(std::string var) : var_(std::move(var)) { check_variable_name(var_); }

    value_type get(const expr_context& ctx) const override { return T::variable(ctx, var_); }
    void print(std::ostream& out, int32_t indent) const override {
        print_indent(out, indent);
        out << name() << "(" << var_ << ")\n";
    }
    const char* name() const override { return T::var_name; }

private:
    std::string var_;
};

class bool_2arg : public expression {
public:
    bool_2arg(node_ptr left, node_ptr right)
        : expression(1 + std::max(left->depth(), right->depth())), left_(std::move(left)),
          right_(std::move(right)) {}
    void print(std::ostream& out, int32_t indent) const override;

protected:
    node_ptr left_;
    node_ptr right_;
};

class bool_or : public bool_2arg {
public:
    using bool_2arg::bool_2arg;
    bool evaluate(const expr_context& ctx) const override;
    const char* name() const override { return "or"; }
};

class bool_and : public bool_2arg {
public:
    using bool_2arg::bool_2arg;
    bool evaluate(const expr_context& ctx) const override;
    const char* name() const override { return "and"; }
};

class bool_1arg : public expression {
public:
    explicit bool_1arg(node_ptr arg) : expression(1 + arg->depth()), arg_(std::move(arg)) {}
    void print(std::ostream& out, int32_t indent) const override;

protected:
    node_ptr arg_;
};

class bool_not : public bool_1arg {
public:
    using bool_1arg::bool_1arg;
    bool evaluate(const expr_context& ctx) const override;
    const char* name() const override { return "not"; }
};

// Call of a def function. The body is owned by the function store alone.
class bool_ref : public expression {
public:
    bool_ref(const expr_ptr& body, std::string function_name)
        : expression(1 + (body ? body->depth() : 0)), body_(body),
          function_name_(std::move(function_name)) {}

    bool evaluate(const expr_context& ctx) const override;
    void print(std::ostream& out, int32_t indent) const override;
    const char* name() const override { return "ref"; }

private:
    boost::weak_ptr<const expression> body_;
    std::string function_name_;
};

// Comparison of two operands. The right operand is read first.
template <class L, class R>
class op_2arg : public expression {
public:
    using left_type = typename L::value_type;
    using right_type = typename R::value_type;
    using comparator_type = boost::function<bool(const left_type&, const right_type&)>;

    op_2arg(value_ptr<L> left, value_ptr<R> right)
        : left_(std::move(left)), right_(std::move(right)) {}

    bool evaluate(const expr_context& ctx) const override {
        const right_type r = right_->get(ctx);
        const left_type l = left_->get(ctx);
        return comparator()(l, r);
    }
    void print(std::ostream& out, int32_t indent) const override {
        print_open(out, indent, name());
        left_->print(out, indent + 1);
        right_->print(out, indent + 1);
        print_close(out, indent);
    }
    virtual comparator_type comparator() const = 0;

private:
    value_ptr<L> left_;
    value_ptr<R> right_;
};

class op_ieq : public op_2arg<string_type_traits, string_type_traits> {
public:
    using op_2arg::op_2arg;
    const char* name() const override { return "op_ieq_string"; }
    comparator_type comparator() const override;
};

class op_ineq : public op_2arg<string_type_traits, string_type_traits> {
public:
    using op_2arg::op_2arg;
    const char* name() const override { return "op_ineq_string"; }
    comparator_type comparator() const override;
};

class op_regex : public op_2arg<string_type_traits, regex_type_traits> {
public:
    using op_2arg::op_2arg;
    const char* name() const override { return "string_op_regex"; }
    comparator_type comparator() const override;
};

// Left network within the right one; no network is within no network only.
class op_belongs : public op_2arg<cidr_type_traits, cidr_type_traits> {
public:
    using op_2arg::op_2arg;
    const char* name() const override { return "op_belongs_cidr"; }
    comparator_type comparator() const override;
};

template <class T>
class op_lt : public op_2arg<T, T> {
public:
    using op_2arg<T, T>::op_2arg;
    const char* name() const override;
    typename op_2arg<T, T>::comparator_type comparator() const override {
        return [](const typename T::value_type& a, const typename T::value_type& b) { return a < b; };
    }
};

template <class T>
class op_gt : public op_2arg<T, T> {
public:
    using op_2arg<T, T>::op_2arg;
    const char* name() const override;
    typename op_2arg<T, T>::comparator_type comparator() const override {
        return [](const typename T::value_type& a, const typename T::value_type& b) { return a > b; };
    }
};

template <class T>
class op_le : public op_2arg<T, T> {
public:
    using op_2arg<T, T>::op_2arg;
    const char* name() const override;
    typename op_2arg<T, T>::comparator_type comparator() const override {
        return [](const typename T::value_type& a, const typename T::value_type& b) { return a <= b; };
    }
};

template <class T>
class op_ge : public op_2arg<T, T> {
public:
    using op_2arg<T, T>::op_2arg;
    const char* name() const override;
    typename op_2arg<T, T>::comparator_type comparator() const override {
        return [](const typename T::value_type& a, const typename T::value_type& b) { return a >= b; };
    }
};

template <> const char* op_lt<time_type_traits>::name() const;
template <> const char* op_gt<time_type_traits>::name() const;
template <> const char* op_le<time_type_traits>::name() const;
template <> const char* op_ge<time_type_traits>::name() const;

// A value tested against the elements of a lookup file, read once when the
// node is built; true at the first element that matches.
template <class L, class R>
class op_list : public expression {
public:
    using left_type = typename L::value_type;
    using right_type = typename R::value_type;
    using comparator_type = boost::function<bool(const left_type&, const right_type&)>;

    op_list(value_ptr<L> left, std::string file_name)
        : left_(std::move(left)), items_(R::load_list(file_name)), file_name_(std::move(file_name)) {}

    bool evaluate(const expr_context& ctx) const override {
        const left_type l = left_->get(ctx);
        const comparator_type cmp = comparator();
        for (const right_type& item : items_)
            if (cmp(l, item))
                return true;
        return false;
    }
    void print(std::ostream& out, int32_t indent) const override {
        print_open(out, indent, name());
        left_->print(out, indent + 1);
        print_indent(out, indent + 1);
        out << "list(\"" << file_name_ << "\")\n";
        print_close(out, indent);
    }
    virtual comparator_type comparator() const = 0;

private:
    value_ptr<L> left_;
    std::vector<right_type> items_;
    std::string file_name_;
};

class op_list_ieq : public op_list<string_type_traits, string_type_traits> {
public:
    using op_list::op_list;
    const char* name() const override { return "op_list_ieq"; }
    comparator_type comparator() const override;
};

class op_list_regex : public op_list<string_type_traits, regex_type_traits> {
public:
    using op_list::op_list;
    const char* name() const override { return "string_op_list_regex"; }
    comparator_type comparator() const override;
};

class op_list_belongs : public op_list<cidr_type_traits, cidr_type_traits> {
public:
    using op_list::op_list;
    const char* name() const override { return "op_list_belongs"; }
    comparator_type comparator() const override;
};

// The def functions, in order of definition; names compared exactly.
class function_store {
public:
    // Raises "Function NAME already exists".
    void add(const std::string& name, const expr_ptr& body);
    // Raises "Function NAME not found".
    expr_ptr get(const std::string& name) const;
    // "\nFUNCTION: NAME\n" and the body for each function.
    void print(std::ostream& out) const;
    void clear() {
        entries_.clear();
        index_.clear();
    }

private:
    std::vector<std::pair<std::string, expr_ptr>> entries_;
    // Position of each name in entries_, so that a text with many functions
    // does not take a time quadratic in their number to load.
    std::map<std::string, size_t> index_;
};

}  // namespace expr
