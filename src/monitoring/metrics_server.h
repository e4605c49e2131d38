#pragma once
// The metrics endpoint: a small process of its own that answers
// "GET /metrics" (Prometheus text) and "GET /status" (HTML) from the shared
// counters, and 404 to anything else. It never touches ICAP traffic: a slow
// or malformed client is dropped after a second and delays no worker.

#include <string>
#include <sys/types.h>

#include "base/daemon_address.h"

// Binds and listens on the address; -1, after logging why, when it cannot.
int metrics_listen(const DaemonAddress& address);

// Forks the server process on the listening socket, which the caller then
// closes. Returns the pid, -1 when the fork failed.
pid_t metrics_server_start(int listen_fd);

// The reply to one request head: a whole HTTP response, or empty when the
// head is malformed and the client is to be dropped.
std::string metrics_reply(const std::string& head);
