#include "settings/settings_table.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <strings.h>

#include <boost/bind/bind.hpp>

#include "settings/address_list.h"
#include "settings/setting_keys.h"

namespace {

using text_setter = param_registry::setter<std::string>;
using bool_setter = param_registry::setter<bool>;
using int_setter = param_registry::setter<int32_t>;
using size_setter = param_registry::setter<uint64_t>;
using list_setter = param_registry::setter<string_list>;

struct named_value {
    const char* name;
    int value;
};

const named_value syslog_facilities[] = {
    {"User", 8},     {"Mail", 16},    {"Daemon", 24},  {"Local0", 128}, {"Local1", 136},
    {"Local2", 144}, {"Local3", 152}, {"Local4", 160}, {"Local5", 168}, {"Local6", 176},
    {"Local7", 184},
};

const named_value syslog_priorities[] = {
    {"Alert", 1}, {"Warning", 4}, {"Notice", 5}, {"Info", 6},
};

template <size_t N>
text_setter syslog_name(std::string& name, int& value, const named_value (&names)[N],
                        const char* message)
{
    return [&name, &value, &names, message](const std::string& text) {
        for (const named_value& entry : names) {
            if (strcasecmp(text.c_str(), entry.name) == 0) {
                name = text;
                value = entry.value;
                return;
            }
        }
        throw std::runtime_error(message + text);
    };
}

template <class T>
param_registry::setter<T> store(T& member)
{
    return [&member](const T& value) { member = value; };
}

list_setter append(string_list& member)
{
    return [&member](const string_list& value) {
        member.insert(member.end(), value.begin(), value.end());
    };
}

text_setter directory(std::string& member)
{
    return [&member](const std::string& value) {
        member = value;
        if (!member.empty() && member.back() != '/')
            member += '/';
    };
}

// An integer key with a range; "Error in KEY setting: it must be ..."
// otherwise.
int_setter int_in_range(int32_t& member, const char* key, int64_t low, int64_t high)
{
    return [&member, key, low, high](int32_t value) {
        if (value >= low && value <= high) {
            member = value;
            return;
        }
        std::string rule = high == INT32_MAX ? ">= " + std::to_string(low)
                                             : "between " + std::to_string(low) + " and " + std::to_string(high);
        throw std::runtime_error(std::string("Error in ") + key + " setting: it must be " + rule + ".");
    };
}

// Bits of the scan options word that follow a key.
void set_option(uint32_t& options, uint32_t bit, bool on)
{
    options = on ? options | bit : options & ~bit;
}

// The scanning-verdict keys other than Infected and Incurable.
text_setter verdict_action(int32_t& member)
{
    return [&member](const std::string& value) {
        const int32_t code = action_code(value);
        if (code == action_cure)
            throw std::runtime_error("Invalid action");
        member = code;
    };
}

text_setter infected_action(int32_t& member, uint32_t& scan_options)
{
    return [&member, &scan_options](const std::string& value) {
        const int32_t code = action_code(value);
        if (code == action_pass)
            throw std::runtime_error("Invalid value for \"Infected\"");
        // "cure" passes the cured object; the cure itself is a scan option.
        member = code == action_cure ? action_pass : code;
        set_option(scan_options, scan_option_cure, code == action_cure);
    };
}

text_setter incurable_action(int32_t& member)
{
    return [&member](const std::string& value) {
        const int32_t code = action_code(value);
        if (code == action_pass || code == action_cure)
            throw std::runtime_error("Invalud value for \"Incurable\"");
        member = code;
    };
}

// One TCP address, inet:PORT@HOST; empty turns the endpoint off.
text_setter metrics_address(std::string& member, DaemonAddress& endpoint)
{
    return [&member, &endpoint](const std::string& value) {
        member = value;
        endpoint = DaemonAddress();
        if (value.empty())
            return;
        daemon_address_list parsed;
        if (!parse_address_list(value, parsed) || parsed.size() != 1 ||
            parsed[0].type != DAEMON_ADDR_INET || parsed[0].serv.empty())
            throw std::runtime_error("MetricsAddress must be one inet:PORT@HOST address: " + value);
        endpoint = parsed[0];
    };
}

// Each element is kept as written and parsed into `parsed`; parsing stops
// at the first bad one.
list_setter address_list(string_list& member, daemon_address_list& parsed, const char* message)
{
    return [&member, &parsed, message](const string_list& value) {
        for (const std::string& element : value) {
            member.push_back(element);
            if (!parse_address_list(element, parsed))
                throw std::runtime_error(message);
        }
    };
}

template <class M>
M& member_of(const setting_key& key, icapd_config& cfg)
{
    return cfg.*std::get<M icapd_config::*>(key.member);
}

// A rule that the key's type does not have: a mistake of the table.
[[noreturn]] void unknown_rule(const setting_key& key)
{
    cf_assert_fail("rule of the key's type", __FILE__, __LINE__, key.name);
}

text_setter text_setter_of(const setting_key& key, icapd_config& cfg)
{
    switch (key.rule) {
    case key_rule::store:
        return store(member_of<std::string>(key, cfg));
    case key_rule::directory:
        return directory(member_of<std::string>(key, cfg));
    case key_rule::syslog_facility:
        return syslog_name(member_of<std::string>(key, cfg), cfg.syslog_facility_value, syslog_facilities,
                           "wrong SyslogFacility: ");
    case key_rule::syslog_priority:
        return syslog_name(member_of<std::string>(key, cfg), cfg.syslog_priority_value, syslog_priorities,
                           "wrong SyslogPriority: ");
    case key_rule::log_file:
        return [&member = member_of<std::string>(key, cfg), &set = cfg.log_file_set](const std::string& value) {
            member = value;
            set = true;
        };
    case key_rule::action:
        return verdict_action(member_of<int32_t>(key, cfg));
    case key_rule::infected:
        return infected_action(member_of<int32_t>(key, cfg), cfg.scan_options);
    case key_rule::incurable:
        return incurable_action(member_of<int32_t>(key, cfg));
    case key_rule::metrics_address:
        return metrics_address(member_of<std::string>(key, cfg), cfg.metrics_endpoint);
    default:
        unknown_rule(key);
    }
}

bool_setter bool_setter_of(const setting_key& key, icapd_config& cfg)
{
    bool& member = member_of<bool>(key, cfg);
    switch (key.rule) {
    case key_rule::store:
        return store(member);
    case key_rule::heuristic:
        return [&member, &options = cfg.scan_options](bool value) {
            member = value;
            set_option(options, scan_option_heuristic, value);
        };
    default:
        unknown_rule(key);
    }
}

int_setter int_setter_of(const setting_key& key, icapd_config& cfg)
{
    int32_t& member = member_of<int32_t>(key, cfg);
    switch (key.rule) {
    case key_rule::store:
        return store(member);
    case key_rule::range:
        return int_in_range(member, key.name, key.low, key.high);
    default:
        unknown_rule(key);
    }
}

size_setter size_setter_of(const setting_key& key, icapd_config& cfg)
{
    uint64_t& member = member_of<uint64_t>(key, cfg);
    switch (key.rule) {
    case key_rule::store:
        return store(member);
    case key_rule::not_zero:
        return [&member, name = key.name](uint64_t value) {
            if (value == 0)
                throw std::runtime_error(std::string("Error in ") + name + " setting: it must be > 0.");
            member = value;
        };
    default:
        unknown_rule(key);
    }
}

list_setter list_setter_of(const setting_key& key, icapd_config& cfg)
{
    string_list& member = member_of<string_list>(key, cfg);
    switch (key.rule) {
    case key_rule::append:
        return append(member);
    case key_rule::vorex_address:
        return address_list(member, cfg.daemon_addresses, "Error parsing daemon address");
    case key_rule::clamd_address:
        return address_list(member, cfg.clamd_addresses, "Error parsing clamd address");
    default:
        unknown_rule(key);
    }
}

// A key without a default starts empty at every load.
void clear_key(const setting_key& key, icapd_config& cfg)
{
    if (key.type == key_type::list)
        member_of<string_list>(key, cfg).clear();
    else
        member_of<std::string>(key, cfg).clear();
    if (key.rule == key_rule::log_file)
        cfg.log_file_set = false;
    if (key.rule == key_rule::clamd_address)
        cfg.clamd_addresses.clear();
}

// Registers a key and assigns its default as a value of the file, so that
// it takes the same conversion.
template <class T>
void register_key(param_registry& registry, icapd_config& cfg, const setting_key& key,
                  const param_registry::setter<T>& set)
{
    param_registry::setter<T> override_set;
    if (key.override_id != id::global_only)
        override_set = boost::bind(&icapd_config::add_override<T>, &cfg, key.override_id, boost::placeholders::_1);
    if (!key.default_value)
        clear_key(key, cfg);
    registry.register_param(key.override_id, key.name, set, override_set);
    if (key.default_value)
        cf_assert(registry.set(key.name, key.default_value, true));
}

void add_match_block(icapd_config& cfg, const expr_ptr& condition)
{
    cfg.match_blocks.push_back(match_block());
    cfg.match_blocks.back().condition = condition;
}

}  // namespace

void install_expression_callbacks(param_registry& registry, icapd_config& cfg)
{
    registry.set_callback_add_expr(
        boost::bind(add_match_block, boost::ref(cfg), boost::placeholders::_1));
    registry.set_callback_add_func(boost::bind(&expr::function_store::add, &cfg.functions,
                                               boost::placeholders::_1, boost::placeholders::_2));
    registry.set_callback_get_func(
        boost::bind(&expr::function_store::get, &cfg.functions, boost::placeholders::_1));
}

int32_t action_code(const std::string& word)
{
    static const named_value actions[] = {
        {"pass", action_pass}, {"report", action_report}, {"truncate", action_truncate},
        {"move", action_move}, {"cure", action_cure},
    };
    for (const named_value& action : actions)
        if (strcasecmp(word.c_str(), action.name) == 0)
            return action.value;
    throw std::runtime_error("Unknown action: " + word);
}

void register_settings(param_registry& registry, icapd_config& cfg)
{
    cfg.scan_options = scan_options_default;
    for (const setting_key& key : setting_keys()) {
        switch (key.type) {
        case key_type::text:
            register_key(registry, cfg, key, text_setter_of(key, cfg));
            break;
        case key_type::boolean:
            register_key(registry, cfg, key, bool_setter_of(key, cfg));
            break;
        case key_type::integer:
            register_key(registry, cfg, key, int_setter_of(key, cfg));
            break;
        case key_type::size:
            register_key(registry, cfg, key, size_setter_of(key, cfg));
            break;
        case key_type::list:
            register_key(registry, cfg, key, list_setter_of(key, cfg));
            break;
        }
    }
}

void check_settings(const icapd_config& cfg)
{
    if (cfg.spare_workers > cfg.max_workers)
        throw std::runtime_error("Error in SpareWorkers setting: it must not be larger than MaxWorkers (" +
                                 std::to_string(cfg.max_workers) + ").");
    if (!cfg.daemon_addresses.empty() && !cfg.clamd_addresses.empty())
        throw std::runtime_error("VorexAddress and ClamdAddress are both set: "
                                 "bodies are scanned by one engine, remove one of them");
}
