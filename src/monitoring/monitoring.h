#pragma once
// The access log and the counters as seen from the daemon: a few calls at
// fixed points of the parent and the worker.

#include "request/request_state.h"

// Parent, after the first load and daemonising, before any worker exists:
// maps the counters, opens the access log and starts the metrics process.
// Exits 1 when the access log or the metrics address cannot be opened.
void monitoring_start();

// Parent, after each reload: counts it, reopens the access log (rotation)
// and follows a changed MetricsAddress. A reload whose access log or
// MetricsAddress cannot be opened fails before the new settings apply.
void monitoring_reloaded(bool ok);

// Parent, once per turn of its loop (at least once a second): starts a new
// metrics process when the one serving has ended, and logs it.
void monitoring_tick();

// Worker, when it takes a connection: keeps the peer's address for the
// access log (the worker table counts the connection).
void monitoring_connection_started(int fd);

// Worker, once per request after its reply: one access-log line and the
// counters. `code` is the worker's result (200, or the error code).
void monitoring_request_finished(const request_state& request, int code);
