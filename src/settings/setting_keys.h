#pragma once
// The table of every configuration key, in registration order: the
// registration (settings_table.cpp) and the defaults come from it, and a
// test holds the manual page and the sample configuration to it.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "settings/icapd_config.h"

// The registry's value type of a key.
enum class key_type { text, boolean, integer, size, list };

// How a value reaches icapd_config.
enum class key_rule {
    store,            // as converted
    directory,        // a "/" is appended to a text that is not empty and lacks one
    range,            // an integer from `low` to `high`
    not_zero,         // a size other than 0
    action,           // an action word other than cure
    infected,         // an action word other than pass; cure is a scan option
    incurable,        // an action word other than pass and cure
    syslog_facility,  // a facility name, its value in syslog_facility_value
    syslog_priority,  // a priority name, its value in syslog_priority_value
    heuristic,        // also the heuristic bit of the scan options
    log_file,         // also log_file_set
    append,           // each assignment adds its elements
    vorex_address,    // appended, each element parsed into daemon_addresses
    clamd_address,    // appended, each element parsed into clamd_addresses
    metrics_address,  // empty or one inet address, parsed into metrics_endpoint
};

using key_member = std::variant<std::string icapd_config::*, bool icapd_config::*, int32_t icapd_config::*,
                                uint64_t icapd_config::*, string_list icapd_config::*>;

struct setting_key {
    const char* name;
    key_type type;
    key_member member;
    // As written in the file; nullptr: none, the member starts empty.
    const char* default_value;
    // id::global_only, or the override id of a Block key.
    int32_t override_id;
    const char* description;
    key_rule rule = key_rule::store;
    int64_t low = 0;
    int64_t high = 0;
};

const std::vector<setting_key>& setting_keys();
