#pragma once
// Loading of the process settings from the command line and the configured
// source (a file or the management agent).

// Parses the command line and loads the settings into g_config.
// argc == -1 reloads from the source chosen at start-up (argv unused).
// The new configuration (settings, lists, MIME rules, category files, log
// target) is loaded completely before it replaces the one in force; a load
// that fails throws its reason (load_failure for the failures that end a
// start with their own status) and leaves everything in force as it was.
// -h, -v and a bad command line end the process.
void vrxid_init(int argc, char** argv);

struct icapd_config;
// Runs on a reloaded configuration before it replaces the one in force;
// what it throws fails the reload like a bad setting (resources such as
// the access log or the metrics address that must open first).
void set_reload_check(void (*check)(const icapd_config& candidate));

// Releases everything the last load allocated (lists, match blocks, rules).
void vrxid_release();
