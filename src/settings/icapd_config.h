#pragma once
// The settings of the process: each configuration key is a member holding
// its global value (member name = key name in lower case with underscores).
// The twelve Block keys are read per request only through their getters,
// which honour the overrides of matching `match` sections.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "conf_parser/cf_expr.h"
#include "conf_parser/cf_override.h"
#include "filters/host_list.h"
#include "filters/mime_rules.h"
#include "base/daemon_address.h"
#include "uwl_files/url_categories.h"

// Action codes of the scanning-verdict keys.
constexpr int32_t action_pass = 1;
constexpr int32_t action_report = 2;
constexpr int32_t action_truncate = 3;
constexpr int32_t action_move = 4;
constexpr int32_t action_cure = 100;

// Scan options word sent with every scan request.
constexpr uint32_t scan_options_default = 0x80400042;
constexpr uint32_t scan_option_heuristic = 0x08;
constexpr uint32_t scan_option_cure = 0x40;

// Override ids of the Block keys: the URL categories in their order, then
// BlockAll.
namespace block_id {
#define VRX_BLOCK_ID(id, key, category, on) id,
enum : int32_t { VRX_URL_CATEGORIES(VRX_BLOCK_ID) all };
#undef VRX_BLOCK_ID
}

struct icapd_config {
    // Keys, in table order.
    std::string log_file;
    bool log_file_set = false;          // LogFile has no default
    std::string syslog_facility;        // name as written
    int syslog_facility_value = 8;
    std::string syslog_priority;
    int syslog_priority_value = 6;
    int32_t log_level = 1;
    uint64_t max_log_size = 10485760;
    std::string hostmaster;
    int32_t infected = action_pass;     // "cure": pass with the cure bit
    int32_t incurable = action_report;
    int32_t suspicious = action_report;
    int32_t adware = action_report;
    int32_t dialers = action_report;
    int32_t jokes = action_pass;
    int32_t riskware = action_pass;
    int32_t hacktools = action_pass;
    int32_t archive_restriction = action_report;
    int32_t daemon_error = action_report;
    int32_t skip_object = action_pass;
    bool heuristic = true;
    bool local_scan = true;
    std::string user = "vorex";
    uid_t uid = 0;
    gid_t gid = 0;
    std::string cache = "/var/vorex/cache/";
    std::string uwl_directory = "/var/vorex/uwl/";
#define VRX_BLOCK_MEMBER(id, key, category, on) bool block_##id = on;
    VRX_URL_CATEGORIES(VRX_BLOCK_MEMBER)
#undef VRX_BLOCK_MEMBER
    bool block_all = false;
    std::vector<std::string> white_uwl_files;
    bool send_urls_with_viruses = false;
    std::string templates = "/usr/local/etc/vorex/templates/icapd";
    std::string pid_file = "/var/vorex/run/vorex_icapd.pid";
    std::vector<std::string> black_hosts;
    std::vector<std::string> white_hosts;
    uint64_t max_blocksize = 10485760;
    std::string bind_port = "1344";
    std::string bind_address = "127.0.0.1";
    std::vector<std::string> vorex_address;
    std::string path_to_quarantine = "/var/vorex/infected";
    int32_t quarantine_files_mode = 432;
    int32_t timeout = 60;
    int32_t min_body_rate = 512;   // bytes/s a body must average after the heads; 0: off
    bool send_mail = false;
    std::string mail_command = "/usr/sbin/sendmail -i -bm -f vorex -- %s";
    int32_t mail_cache = 60;
    std::vector<std::string> acl_list;
    bool send_stat = false;
    bool keep_alive = true;
    bool use_preview = true;
    bool send_mail_uwl_block = false;
    int32_t max_workers = 256;
    int32_t spare_workers = 4;
    int32_t max_connections_per_worker = 0;   // 0: no limit
    int32_t keep_alive_timeout = 600;         // seconds; 0: no limit
    int32_t max_connections = 10000;          // held by the connection keeper
    // Early reply of a RESPMOD whose client pauses before the end of the
    // body: pause in milliseconds, and most body bytes released before the
    // verdict; 0 in either never starts a reply early.
    int32_t trickle_pause = 50;
    int32_t trickle_limit = 64;
    std::vector<std::string> clamd_address;
    bool clamd_stream = false;
    std::string access_log;          // empty: no access log
    std::string metrics_address;     // as written; empty: no metrics endpoint
    DaemonAddress metrics_endpoint;  // the parsed inet address of MetricsAddress

    // Load results.
    std::string config_source;
    bool check_only = false;
    bool monitor = false;
    bool extra_debug = false;
    int log_target = -2;                    // opened by the load (log.h targets)
    daemon_address_list daemon_addresses;   // from VorexAddress
    daemon_address_list clamd_addresses;    // from ClamdAddress
    daemon_address_list agent_addresses;
    uint32_t scan_options = scan_options_default;
    int64_t quarantine_name_max = 256;
    int64_t quarantine_path_max = 1024;
    host_list black_hosts_list;
    host_list white_hosts_list;
    host_list acl_hosts_list;
    host_list white_uwl_files_list;
    mime_rules mime;
    std::vector<match_block> match_blocks;   // in file order
    expr::function_store functions;          // def sections

    // Stores an override of the last match block (the section being read).
    template <class T>
    void add_override(int32_t id, const T& value)
    {
        std::vector<match_block>& mb = match_blocks;
        cf_assert(!mb.empty());
        mb.back().overrides.set<T>(id, value);
    }

    // Per-request value of the Block key with override id `id`: the value
    // of the first match block whose condition holds for the request and
    // that assigns the key, else the global value. Conditions are evaluated
    // anew on every call.
    const bool& get_block(int32_t id, const expr_context& ctx) const;
    // The same for each key by name (get_block_porno ... get_block_all).
#define VRX_BLOCK_GETTER(id, key, category, on)                                     \
    const bool& get_block_##id(const expr_context& ctx) const { return get_block(block_id::id, ctx); }
    VRX_URL_CATEGORIES(VRX_BLOCK_GETTER)
    VRX_BLOCK_GETTER(all, "BlockAll", nullptr, false)
#undef VRX_BLOCK_GETTER
};

extern icapd_config g_config;
