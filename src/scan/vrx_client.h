#pragma once
// Client of the scanning daemon.

#include <string>

#include "request/request_state.h"
#include "scan/scan_engine.h"
#include "base/daemon_address.h"

// The process's scanning-daemon connection, -1 when not connected. The
// parent closes it after every start-up exchange; a worker closes the
// inherited copy and keeps its own across requests.
extern int g_daemon_fd;
// Sum of the record counts of the loaded virus bases (shown in the ISTAG).
extern unsigned long virus_total;

// Text of the daemon's information command (command 4), empty until asked.
extern std::string daemon_info;

// Connects to the first scanning daemon of `addresses` that answers; with
// `local_fallback`, path mode stays on only while that is the first one.
int vrx_connect(const daemon_address_list& addresses, bool local_fallback, bool non_blocking);
int vrx_get_virus_num(int* fd);
int vrx_get_info(int* fd);
// Result of the verdict's action: 0 failed, 3 pass (maybe changed),
// 4 replaced by a report page, 200 clean.
int vrx_scan_file(entity_record& entity, request_state& request, int* fd);
// One scan request and its answer (code, threats, report lines) into
// `answer`, without the verdict; false (and the connection closed) for any
// failure on the daemon's side.
bool vrx_scan_exchange(entity_record& entity, const request_state& request, int* fd, engine_answer& answer);
