#pragma once
// Stream sockets on configured addresses: connecting to the scanning
// daemons, the agent and clamd, and listening for ICAP clients and the
// metrics endpoint.

#include <functional>

#include "base/daemon_address.h"

// Connects to one address without waiting longer than `timeout` seconds
// (the Timeout setting; 0 or less: no limit) for the peer to accept. The
// socket is blocking unless `non_blocking`. -1, after logging why, when it
// cannot connect.
int connect_address(const DaemonAddress& address, int timeout, bool non_blocking);

// Connects to the first address of the list that answers; `on_failure` runs
// after each address that did not. -1 when none answers.
int connect_address_list(const daemon_address_list& addresses, int timeout, bool non_blocking,
                         const std::function<void()>& on_failure = {});

// Where listen_on stopped, and its error: a getaddrinfo code for `resolve`,
// an errno value otherwise.
enum class listen_step { resolve, option, bind, listen };
struct listen_failure {
    listen_step step = listen_step::resolve;
    int error = 0;
};

// A listening socket (close-on-exec, SO_REUSEADDR) on the first address of
// host:serv (passive, any family; host may be null) that can be bound,
// listening with `backlog`. An address that cannot be bound gives way to
// the next; a failing SO_REUSEADDR or listen ends the attempt. -1 and
// `failure` when no socket listens.
int listen_on(const char* host, const char* serv, int backlog, bool non_blocking, listen_failure& failure);
