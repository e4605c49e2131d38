#pragma once
// Per-process state of the scanning-daemon client shared by its files.

#include <cstdint>
#include <string>

// Effective scan mode of the current connection: true sends only the path
// of the body file, false streams the body. Reset from LocalScan at every
// scan connection attempt, cleared when an address fails.
extern bool g_local_scan;
