#pragma once
// Registration of the configuration keys of setting_keys.h.

#include "conf_parser/cf_override.h"
#include "settings/icapd_config.h"

// Sets every key of `cfg` to its default and registers it with `registry`,
// in table order. `User` is only stored here; the loader resolves it once
// the whole text has been read.
void register_settings(param_registry& registry, icapd_config& cfg);

// Checks that need more than one key, once the whole text is read.
void check_settings(const icapd_config& cfg);

// Installs the registry callbacks that store the conditions of match
// sections as match blocks of cfg and the def functions in its store.
void install_expression_callbacks(param_registry& registry, icapd_config& cfg);

// Action word ("pass", "report", "truncate", "move", "cure", any case) to
// its code; throws "Unknown action: WORD".
int32_t action_code(const std::string& word);
