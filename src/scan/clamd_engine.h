#pragma once
// ClamAV's clamd as the scan engine (ClamdAddress).

#include "scan/scan_engine.h"

// The process's clamd engine.
scan_engine& clamd_engine_instance();
