#pragma once
// A worker of the pool: takes connections from the listening socket itself
// and serves them one at a time.

#include <sys/types.h>

// The forked worker's entry. It waits for a connection, accepts it, runs
// the client check, serves it and waits again, until the parent closes the
// keep-alive pipe (reload, shutdown), SIGTERM comes, MaxConnectionsPerWorker
// connections are served, or (SpareWorkers = 0) its connection ends.
// It also ends (after the request in hand) when `parent` dies.
[[noreturn]] void worker_main(pid_t parent);
