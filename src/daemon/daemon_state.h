#pragma once
// Process-wide state of the parent, inherited by every worker.

#include <csignal>

extern int g_listen_fd;
// Keep-alive pipe {read end, write end}, -1 when absent. Idle workers wait
// on the read end; the parent closes its ends to make them leave.
extern int g_keepalive_pipe[2];

extern volatile sig_atomic_t g_is_worker;
extern volatile sig_atomic_t g_reload_requested;
extern volatile sig_atomic_t g_terminate_requested;

// Closes whichever ends of the keep-alive pipe are open.
void close_keepalive_pipe();
// A new keep-alive pipe; logs "pipe error" and exits 1 when it fails.
void open_keepalive_pipe();
