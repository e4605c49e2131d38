#pragma once
// Parameter registry of one configuration load, and the per-request
// overrides that match sections record.
//
// The grammar hands every assignment to the registry; the registry finds
// the parameter by name (letter case ignored), converts the value by the
// parameter's type and stores it globally or, inside a match section, as an
// override of the current match block.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <boost/function.hpp>

#include "conf_parser/cf_parser.h"

// Checks a programming invariant in every build type (NDEBUG included):
// a broken one is a bug of the caller, never a consequence of input.
#define cf_assert(cond)                                                             \
    ((cond) ? (void)0 : cf_assert_fail(#cond, __FILE__, __LINE__, __func__))

[[noreturn]] void cf_assert_fail(const char* condition, const char* file, int line,
                                 const char* function);

using string_list = std::vector<std::string>;

namespace id {
// A parameter that match sections may not override.
constexpr int32_t global_only = -1;
}

// Overrides of one match block for one value type, by parameter id.
template <class T>
class override_storage_interface {
public:
    // The stored value, or null when this block holds none for `id`.
    virtual const T* get(int32_t id) const = 0;
    // Stores the value, replacing an earlier one under the same id.
    virtual void set(int32_t id, const T& value) = 0;
    virtual ~override_storage_interface() = default;
};

template <class T>
class override_storage_map : public override_storage_interface<T> {
public:
    const T* get(int32_t id) const override
    {
        typename std::map<int32_t, T>::const_iterator it = values_.find(id);
        return it == values_.end() ? nullptr : &it->second;
    }
    void set(int32_t id, const T& value) override { values_[id] = value; }

private:
    std::map<int32_t, T> values_;
};

template <class T, template <class> class OvrStorageMap>
class param_overriders_1type : public OvrStorageMap<T> {};

// One override map per value type.
template <template <class> class OvrStorageMap>
class param_overriders : public param_overriders_1type<bool, OvrStorageMap>,
                         public param_overriders_1type<uint64_t, OvrStorageMap>,
                         public param_overriders_1type<int32_t, OvrStorageMap>,
                         public param_overriders_1type<std::string, OvrStorageMap>,
                         public param_overriders_1type<string_list, OvrStorageMap> {
public:
    template <class T>
    const T* get(int32_t id) const
    {
        return static_cast<const param_overriders_1type<T, OvrStorageMap>&>(*this).get(id);
    }
    template <class T>
    void set(int32_t id, const T& value)
    {
        static_cast<param_overriders_1type<T, OvrStorageMap>&>(*this).set(id, value);
    }
};

// The condition of one match section and the values it assigns.
struct match_block {
    expr_ptr condition;
    param_overriders<override_storage_map> overrides;
};

// Byte-wise order after tolower; a prefix orders first.
struct name_less_nocase {
    bool operator()(const std::string& a, const std::string& b) const;
};

template <class T>
struct param_entry {
    std::string name;
    int32_t id = id::global_only;
    boost::function<void(const T&)> setter;
    boost::function<void(const T&)> override_setter;
};

template <class T>
using param_map = std::map<std::string, param_entry<T>, name_less_nocase>;

class param_registry : public parser_context {
public:
    using add_expr_callback = boost::function<void(const expr_ptr&)>;
    using add_func_callback = boost::function<void(const std::string&, const expr_ptr&)>;
    using get_func_callback = boost::function<expr_ptr(const std::string&)>;
    using add_mime_callback = boost::function<void(const std::string&)>;

    template <class T>
    using setter = boost::function<void(const T&)>;

    // Throws "Param already registered: NAME" for a name the type's map
    // already holds. An id needs an override setter and -1 forbids one.
    void register_param(int32_t rid, const std::string& name, const setter<string_list>& set,
                        const setter<string_list>& pco = setter<string_list>());
    void register_param(int32_t rid, const std::string& name, const setter<std::string>& set,
                        const setter<std::string>& pco = setter<std::string>());
    void register_param(int32_t rid, const std::string& name, const setter<bool>& set,
                        const setter<bool>& pco = setter<bool>());
    void register_param(int32_t rid, const std::string& name, const setter<int32_t>& set,
                        const setter<int32_t>& pco = setter<int32_t>());
    void register_param(int32_t rid, const std::string& name, const setter<uint64_t>& set,
                        const setter<uint64_t>& pco = setter<uint64_t>());

    // Names of every registered key, in no particular order.
    std::vector<std::string> names() const;

    void set_callback_add_expr(const add_expr_callback& callback) { add_expr_ = callback; }
    void set_callback_add_func(const add_func_callback& callback) { add_func_ = callback; }
    void set_callback_get_func(const get_func_callback& callback) { get_func_ = callback; }
    void set_callback_add_mime(const add_mime_callback& callback) { add_mime_ = callback; }

    // parser_context
    bool set(const std::string& name, const std::string& value, bool global) override;
    bool set(const std::string& name, const string_list& value, bool global) override;
    void run_callback_add_expr(const expr_ptr& condition) override;
    void run_callback_add_func(const std::string& name, const expr_ptr& body) override;
    expr_ptr run_callback_get_func(const std::string& name) override;
    void add_mime_block(const std::string& text) override;

private:
    template <class T>
    static void insert(param_map<T>& map, int32_t rid, const std::string& name,
                       const setter<T>& set, const setter<T>& pco);

    param_map<string_list> lists_;
    param_map<std::string> texts_;
    param_map<bool> bools_;
    param_map<int32_t> integers_;
    param_map<uint64_t> sizes_;
    add_expr_callback add_expr_;
    add_func_callback add_func_;
    get_func_callback get_func_;
    add_mime_callback add_mime_;
};
