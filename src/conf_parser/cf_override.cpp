#include "conf_parser/cf_override.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "conf_parser/cf_values.h"

void cf_assert_fail(const char* condition, const char* file, int line, const char* function)
{
    std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, function, condition);
    std::abort();
}

bool name_less_nocase::operator()(const std::string& a, const std::string& b) const
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    return a.size() < b.size();
}

namespace {

// Text of a file value to the parameter's type.
template <class T>
T convert(const std::string& text);

template <>
std::string convert<std::string>(const std::string& text)
{
    return text;
}

template <>
bool convert<bool>(const std::string& text)
{
    return parse_bool(text);
}

template <>
int32_t convert<int32_t>(const std::string& text)
{
    return parse_digital_t(text);
}

template <>
uint64_t convert<uint64_t>(const std::string& text)
{
    return parse_size(text);
}

// A text assigned to a list key appends that one text.
template <>
string_list convert<string_list>(const std::string& text)
{
    return string_list(1, text);
}

template <class T>
bool assign(const param_map<T>& map, const std::string& name, const std::string& text,
            bool global)
{
    typename param_map<T>::const_iterator it = map.find(name);
    if (it == map.end())
        return false;
    const param_entry<T>& entry = it->second;
    const T value = convert<T>(text);
    if (global) {
        entry.setter(value);
        return true;
    }
    if (entry.id == id::global_only)
        throw std::runtime_error("Param " + name + " is global only");
    entry.override_setter(value);
    return true;
}

}  // namespace

template <class T>
void param_registry::insert(param_map<T>& map, int32_t rid, const std::string& name,
                            const setter<T>& set, const setter<T>& pco)
{
    cf_assert((rid==id::global_only && pco==0) || (rid!=-1 && pco!=0));
    param_entry<T> entry;
    entry.name = name;
    entry.id = rid;
    entry.setter = set;
    entry.override_setter = pco;
    if (!map.insert(std::make_pair(name, entry)).second)
        throw std::runtime_error("Param already registered: " + name);
}

void param_registry::register_param(int32_t rid, const std::string& name,
                                    const setter<string_list>& set,
                                    const setter<string_list>& pco)
{
    insert(lists_, rid, name, set, pco);
}

void param_registry::register_param(int32_t rid, const std::string& name,
                                    const setter<std::string>& set,
                                    const setter<std::string>& pco)
{
    insert(texts_, rid, name, set, pco);
}

void param_registry::register_param(int32_t rid, const std::string& name,
                                    const setter<bool>& set, const setter<bool>& pco)
{
    insert(bools_, rid, name, set, pco);
}

void param_registry::register_param(int32_t rid, const std::string& name,
                                    const setter<int32_t>& set, const setter<int32_t>& pco)
{
    insert(integers_, rid, name, set, pco);
}

void param_registry::register_param(int32_t rid, const std::string& name,
                                    const setter<uint64_t>& set, const setter<uint64_t>& pco)
{
    insert(sizes_, rid, name, set, pco);
}

std::vector<std::string> param_registry::names() const
{
    std::vector<std::string> result;
    const auto add = [&result](const auto& map) {
        for (const auto& entry : map)
            result.push_back(entry.first);
    };
    add(lists_);
    add(texts_);
    add(bools_);
    add(integers_);
    add(sizes_);
    return result;
}

bool param_registry::set(const std::string& name, const std::string& value, bool global)
{
    return assign(texts_, name, value, global) || assign(bools_, name, value, global) ||
           assign(integers_, name, value, global) || assign(lists_, name, value, global) ||
           assign(sizes_, name, value, global);
}

bool param_registry::set(const std::string& name, const string_list& value, bool global)
{
    if (lists_.find(name) == lists_.end())
        return false;
    for (const std::string& element : value)
        assign(lists_, name, element, global);
    return true;
}

void param_registry::run_callback_add_expr(const expr_ptr& condition)
{
    if (!add_expr_)
        throw std::runtime_error("run_callback_add_expr: expression callback not registered");
    add_expr_(condition);
}

void param_registry::run_callback_add_func(const std::string& name, const expr_ptr& body)
{
    if (!add_func_)
        throw std::runtime_error("run_callback_add_func: add function callback not registered");
    add_func_(name, body);
}

expr_ptr param_registry::run_callback_get_func(const std::string& name)
{
    if (!get_func_)
        throw std::runtime_error("run_callback_get_func: get function callback not registered");
    return get_func_(name);
}

void param_registry::add_mime_block(const std::string& text)
{
    if (!add_mime_)
        throw std::runtime_error("add_mime_block: mime callback not registered");
    add_mime_(text);
}
