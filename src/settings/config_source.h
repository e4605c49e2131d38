#pragma once
// Pieces of the configuration load shared by its source files.

#include <string>

#include <boost/function.hpp>

#include "settings/icapd_config.h"

// Text printed by -v.
extern const char* const vrxid_version_text;

// Reads the command line into cfg (configuration source and flags). -h and
// -v print and exit 0; a bad argument prints why and exits 1.
void read_command_line(int argc, char** argv, icapd_config& cfg);

// Fills `text` with the whole configuration text; throws
// "error reading config file: ..." when it cannot.
using config_reader = boost::function<void(std::string& text)>;

// Builds the registry over cfg, reads the text and parses it, then
// prepares what depends on the settings: MIME rules, the log target (in
// cfg.log_target; installed at once only when no log is in force), host
// lists, the category files. Errors of the text are std::runtime_error
// "Error while parsing config file: ..."; unreadable host lists and bad
// MIME blocks are load_failure.
void parse_config(const config_reader& read, icapd_config& cfg);

// Fetches the configuration from the agent at cfg.config_source and parses
// it. Unreachable agents and bad replies are load_failure with status 1.
void load_from_agent(icapd_config& cfg);
