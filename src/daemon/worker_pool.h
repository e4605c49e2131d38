#pragma once
// The parent's pool of pre-forked workers: workers are forked ahead of
// demand into the worker table, reaped and replaced when they end, told to
// leave when too many are idle, and stopped at shutdown.

// Creates the worker table and the wake pipe; before the first worker.
void pool_create();
// Publishes the pool settings of the configuration just loaded.
void pool_settings_loaded();
// A successful reload: workers forked from now on belong to the new
// configuration; idle ones of the old one leave through the keep-alive pipe.
void pool_new_generation();

// Reaps ended children; frees the slots of workers, logging the pid and
// status of those that died. Lock-file cleaners are reaped too.
void pool_reap();
// Forks workers until SpareWorkers of the current configuration are idle
// or starting (without exceeding MaxWorkers) and tells idle workers beyond
// twice SpareWorkers (idle for a few seconds) to leave. Returns true when
// no worker of the current configuration is idle or starting and another
// may be forked: the parent then watches the listening socket itself.
bool pool_maintain();
// Reload, before the old generation's idle workers are told to leave:
// forks SpareWorkers (at least one) of the new generation, counting the
// old idle workers, which are about to end, as free room under MaxWorkers.
void pool_start_generation();
// A connection waits and no worker is there to take it: forks one.
void pool_fork_for_connection();

// Read end of the pipe on which workers wake the parent; drained here.
int pool_wake_fd();
void pool_drain_wake();

// Sends `signal_number` to every worker.
void pool_signal_all(int signal_number);
// Workers not yet reaped.
unsigned pool_size();
