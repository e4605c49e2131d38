#pragma once
// Per-process state of the scanning-daemon client shared by its files.

#include <cstdint>
#include <string>

// Effective scan mode: true sends only the path of the body file, false
// streams the body. It is LocalScan in every process and after every load,
// whichever command opened the kept connection; only a scan connection
// attempt that had to pass over a failed address turns it off, until the
// next scan connection attempt.
bool local_scan_in_effect();
