#include "settings/settings_table.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <strings.h>

#include <boost/bind/bind.hpp>

#include "base/worker_table.h"
#include "settings/address_list.h"

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

text_setter infected_action(icapd_config& cfg)
{
    return [&cfg](const std::string& value) {
        const int32_t code = action_code(value);
        if (code == action_pass)
            throw std::runtime_error("Invalid value for \"Infected\"");
        // "cure" passes the cured object; the cure itself is a scan option.
        cfg.infected = code == action_cure ? action_pass : code;
        set_option(cfg.scan_options, scan_option_cure, code == action_cure);
    };
}

// One TCP address, inet:PORT@HOST; empty turns the endpoint off.
text_setter metrics_address(icapd_config& cfg)
{
    return [&cfg](const std::string& value) {
        cfg.metrics_address = value;
        cfg.metrics_endpoint = DaemonAddress();
        if (value.empty())
            return;
        daemon_address_list parsed;
        if (!parse_address_list(value, parsed) || parsed.size() != 1 ||
            parsed[0].type != DAEMON_ADDR_INET || parsed[0].serv.empty())
            throw std::runtime_error("MetricsAddress must be one inet:PORT@HOST address: " + value);
        cfg.metrics_endpoint = parsed[0];
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

// Registers a global key after setting its default through its own setter,
// so the default takes the same conversion as a value from the file.
template <class T, class V>
void global_key(param_registry& registry, const char* name, const param_registry::setter<T>& set,
                const V& default_value)
{
    set(default_value);
    registry.register_param(id::global_only, name, set);
}

void block_key(param_registry& registry, icapd_config& cfg, int32_t key_id, const char* name,
               bool& member, bool default_value)
{
    member = default_value;
    registry.register_param(key_id, name, store(member),
                            bool_setter(boost::bind(&icapd_config::add_override<bool>, &cfg,
                                                    key_id, boost::placeholders::_1)));
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

void register_settings(param_registry& reg, icapd_config& cfg)
{
    cfg.scan_options = scan_options_default;

    cfg.log_file.clear();
    cfg.log_file_set = false;
    reg.register_param(id::global_only, "LogFile", text_setter([&cfg](const std::string& value) {
        cfg.log_file = value;
        cfg.log_file_set = true;
    }));
    global_key(reg, "SyslogFacility",
               syslog_name(cfg.syslog_facility, cfg.syslog_facility_value, syslog_facilities,
                           "wrong SyslogFacility: "),
               "User");
    global_key(reg, "SyslogPriority",
               syslog_name(cfg.syslog_priority, cfg.syslog_priority_value, syslog_priorities,
                           "wrong SyslogPriority: "),
               "Info");
    global_key(reg, "LogLevel", store(cfg.log_level), 1);
    global_key(reg, "MaxLogSize", store(cfg.max_log_size), uint64_t(10485760));
    global_key(reg, "Hostmaster", store(cfg.hostmaster), "root@localhost");
    global_key(reg, "Infected", infected_action(cfg), "cure");
    global_key(reg, "Incurable", incurable_action(cfg.incurable), "report");
    global_key(reg, "Suspicious", verdict_action(cfg.suspicious), "report");
    global_key(reg, "Adware", verdict_action(cfg.adware), "report");
    global_key(reg, "Dialers", verdict_action(cfg.dialers), "report");
    global_key(reg, "Jokes", verdict_action(cfg.jokes), "pass");
    global_key(reg, "Riskware", verdict_action(cfg.riskware), "pass");
    global_key(reg, "Hacktools", verdict_action(cfg.hacktools), "pass");
    global_key(reg, "ArchiveRestriction", verdict_action(cfg.archive_restriction), "report");
    global_key(reg, "DaemonError", verdict_action(cfg.daemon_error), "report");
    global_key(reg, "SkipObject", verdict_action(cfg.skip_object), "pass");
    global_key(reg, "Heuristic", bool_setter([&cfg](bool value) {
                   cfg.heuristic = value;
                   set_option(cfg.scan_options, scan_option_heuristic, value);
               }),
               true);
    global_key(reg, "LocalScan", store(cfg.local_scan), true);
    global_key(reg, "User", store(cfg.user), "vorex");
    global_key(reg, "Cache", directory(cfg.cache), "/var/vorex/cache/");
    global_key(reg, "UwlDirectory", directory(cfg.uwl_directory), "/var/vorex/uwl/");
#define VRX_BLOCK_KEY(id, key, category, on) block_key(reg, cfg, block_id::id, key, cfg.block_##id, on);
    VRX_URL_CATEGORIES(VRX_BLOCK_KEY)
#undef VRX_BLOCK_KEY
    block_key(reg, cfg, block_id::all, "BlockAll", cfg.block_all, false);
    cfg.white_uwl_files.clear();
    reg.register_param(id::global_only, "WhiteUwlFiles", append(cfg.white_uwl_files));
    global_key(reg, "SendUrlsWithViruses", store(cfg.send_urls_with_viruses), false);
    global_key(reg, "Templates", store(cfg.templates), "/usr/local/etc/vorex/templates/icapd");
    global_key(reg, "PidFile", store(cfg.pid_file), "/var/vorex/run/vorex_icapd.pid");
    cfg.black_hosts.clear();
    reg.register_param(id::global_only, "BlackHosts", append(cfg.black_hosts));
    cfg.white_hosts.clear();
    reg.register_param(id::global_only, "WhiteHosts", append(cfg.white_hosts));
    global_key(reg, "MaxBlocksize", size_setter([&cfg](uint64_t value) {
                   if (value == 0)
                       throw std::runtime_error("Error in MaxBlocksize setting: it must be > 0.");
                   cfg.max_blocksize = value;
               }),
               uint64_t(10485760));
    global_key(reg, "BindPort", store(cfg.bind_port), "1344");
    global_key(reg, "BindAddress", store(cfg.bind_address), "127.0.0.1");
    cfg.vorex_address.clear();
    reg.register_param(id::global_only, "VorexAddress",
                       list_setter([&cfg](const string_list& value) {
                           for (const std::string& element : value) {
                               cfg.vorex_address.push_back(element);
                               if (!parse_address_list(element, cfg.daemon_addresses))
                                   throw std::runtime_error("Error parsing daemon address");
                           }
                       }));
    global_key(reg, "PathToQuarantine", store(cfg.path_to_quarantine), "/var/vorex/infected");
    global_key(reg, "QuarantineFilesMode", store(cfg.quarantine_files_mode), 432);
    global_key(reg, "Timeout", store(cfg.timeout), 60);
    global_key(reg, "MinBodyRate", int_in_range(cfg.min_body_rate, "MinBodyRate", 0, INT32_MAX), 512);
    global_key(reg, "SendMail", store(cfg.send_mail), false);
    global_key(reg, "MailCommand", store(cfg.mail_command),
               "/usr/sbin/sendmail -i -bm -f vorex -- %s");
    global_key(reg, "MailCache", store(cfg.mail_cache), 60);
    cfg.acl_list.clear();
    reg.register_param(id::global_only, "AclList", append(cfg.acl_list));
    global_key(reg, "SendStat", store(cfg.send_stat), false);
    global_key(reg, "KeepAlive", store(cfg.keep_alive), true);
    global_key(reg, "UsePreview", store(cfg.use_preview), true);
    global_key(reg, "SendMailUwlBlock", store(cfg.send_mail_uwl_block), false);
    global_key(reg, "MaxWorkers", int_in_range(cfg.max_workers, "MaxWorkers", 1, worker_table_capacity), 256);
    global_key(reg, "SpareWorkers", int_in_range(cfg.spare_workers, "SpareWorkers", 0, worker_table_capacity), 4);
    global_key(reg, "MaxConnectionsPerWorker",
               int_in_range(cfg.max_connections_per_worker, "MaxConnectionsPerWorker", 0, INT32_MAX), 0);
    global_key(reg, "KeepAliveTimeout", int_in_range(cfg.keep_alive_timeout, "KeepAliveTimeout", 0, INT32_MAX),
               600);
    global_key(reg, "MaxConnections", int_in_range(cfg.max_connections, "MaxConnections", 1, 1000000), 10000);
    global_key(reg, "TricklePause", int_in_range(cfg.trickle_pause, "TricklePause", 0, INT32_MAX), 50);
    global_key(reg, "TrickleLimit", int_in_range(cfg.trickle_limit, "TrickleLimit", 0, INT32_MAX), 64);
    cfg.clamd_address.clear();
    cfg.clamd_addresses.clear();
    reg.register_param(id::global_only, "ClamdAddress",
                       list_setter([&cfg](const string_list& value) {
                           for (const std::string& element : value) {
                               cfg.clamd_address.push_back(element);
                               if (!parse_address_list(element, cfg.clamd_addresses))
                                   throw std::runtime_error("Error parsing clamd address");
                           }
                       }));
    global_key(reg, "ClamdStream", store(cfg.clamd_stream), false);
    global_key(reg, "AccessLog", store(cfg.access_log), "");
    global_key(reg, "MetricsAddress", metrics_address(cfg), "");
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
