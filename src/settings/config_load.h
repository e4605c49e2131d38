#pragma once
// Loading of the process settings from the command line and the configured
// source (a file or the management agent).

// Parses the command line and loads the settings into g_config.
// argc == -1 reloads from the source chosen at start-up (argv unused).
// Errors that prevent a start end the process with their message.
void vrxid_init(int argc, char** argv);

// Releases everything the last load allocated (lists, match blocks, rules).
void vrxid_release();
