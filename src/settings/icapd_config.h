#pragma once
// The settings of the process: each configuration key is a member holding
// its global value (member name = key name in lower case with underscores);
// the keys, their defaults and checks are the table of setting_keys.h.
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
    // Every key starts at its default (as at the start of a load).
    icapd_config();

    // Keys, in table order.
    std::string log_file;
    bool log_file_set;                  // LogFile has no default
    std::string syslog_facility;        // name as written
    int syslog_facility_value;
    std::string syslog_priority;
    int syslog_priority_value;
    int32_t log_level;
    uint64_t max_log_size;
    std::string hostmaster;
    int32_t infected;                   // "cure": pass with the cure bit
    int32_t incurable;
    int32_t suspicious;
    int32_t adware;
    int32_t dialers;
    int32_t jokes;
    int32_t riskware;
    int32_t hacktools;
    int32_t archive_restriction;
    int32_t daemon_error;
    int32_t skip_object;
    bool heuristic;
    bool local_scan;
    std::string user;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string cache;
    std::string uwl_directory;
#define VRX_BLOCK_MEMBER(id, key, category, on) bool block_##id;
    VRX_URL_CATEGORIES(VRX_BLOCK_MEMBER)
#undef VRX_BLOCK_MEMBER
    bool block_all;
    std::vector<std::string> white_uwl_files;
    bool send_urls_with_viruses;
    std::string templates;
    std::string pid_file;
    std::vector<std::string> black_hosts;
    std::vector<std::string> white_hosts;
    uint64_t max_blocksize;
    std::string bind_port;
    std::string bind_address;
    std::vector<std::string> vorex_address;
    std::string path_to_quarantine;
    int32_t quarantine_files_mode;
    int32_t timeout;
    int32_t min_body_rate;   // bytes/s a body must average after the heads; 0: off
    bool send_mail;
    std::string mail_command;
    int32_t mail_cache;
    std::vector<std::string> acl_list;
    bool send_stat;
    bool keep_alive;
    bool use_preview;
    bool send_mail_uwl_block;
    int32_t max_workers;
    int32_t spare_workers;
    int32_t max_connections_per_worker;   // 0: no limit
    int32_t keep_alive_timeout;           // seconds; 0: no limit
    int32_t max_connections;              // held by the connection keeper
    // Early reply of a RESPMOD whose client pauses before the end of the
    // body: pause in milliseconds, and most body bytes released before the
    // verdict; 0 in either never starts a reply early.
    int32_t trickle_pause;
    int32_t trickle_limit;
    std::vector<std::string> clamd_address;
    bool clamd_stream;
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
