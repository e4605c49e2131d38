#pragma once
// Process-wide state of the parent, inherited by every worker.

#include <csignal>

extern int g_listen_fd;
// Keep-alive pipe {read end, write end}, -1 when absent. Idle workers wait
// on the read end; the parent closes its ends to make them leave.
extern int g_keepalive_pipe[2];
// Wake pipe {read end, write end}, both non-blocking: a worker writes a
// byte when idle workers run short, so the parent forks more at once.
extern int g_wake_pipe[2];

extern volatile sig_atomic_t g_is_worker;
extern volatile sig_atomic_t g_reload_requested;
// The number of SIGTERMs received (a worker: 1 finishes the request in
// hand, 2 ends at once).
extern volatile sig_atomic_t g_terminate_requested;

// Closes whichever ends of the keep-alive pipe are open.
void close_keepalive_pipe();
// Reload: the pipe of the old generation is set aside (its write end kept
// open, so its idle workers stay) until the new generation's workers run;
// they close the retired write end at start.
extern int g_retired_keepalive_write;
void retire_keepalive_pipe();
void close_retired_keepalive_pipe();
// A new keep-alive pipe; logs "pipe error" and exits 1 when it fails.
void open_keepalive_pipe();
// The wake pipe, opened once at start; failures as for the keep-alive pipe.
void open_wake_pipe();
// Worker: one byte on the wake pipe (none when the pipe is full already).
void wake_parent();
