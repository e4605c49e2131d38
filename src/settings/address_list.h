#pragma once
// Address lists of scanning daemons and agents:
//   inet:SERV@HOST | local:PATH | pid:PIDFILE, separated by ","
// Type words may be shortened and are compared without regard to case.

#include <string>

#include "base/daemon_address.h"

// Appends the entries of `text` to `dest`. The first piece without any word
// ends the list. Returns false, after logging why, at the first bad address;
// entries added before it stay.
bool parse_address_list(const std::string& text, daemon_address_list& dest);

// Reads a scanning daemon's pid file: the first line (its process id) is
// skipped, each further line is a socket path or HOST:SERV.
bool parse_pid_file(const std::string& path, daemon_address_list& dest);
