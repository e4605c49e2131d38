#pragma once
// Signal dispositions of the parent and the workers, and the shutdown
// routine used on SIGTERM and on an expired alarm.

// Installs a handler (or SIG_IGN / SIG_DFL) with an empty mask and
// SA_NOCLDSTOP, plus SA_RESTART when asked; a failure is fatal (exit 1).
void set_signal(int signal_number, void (*handler)(int), bool restart);

// SIGALRM: logs the time-out, runs the shutdown routine, _exit(13).
void install_timeout_handler();

// After start-up: SIGHUP, SIGTERM and SIGCHLD blocked (delivered only
// inside pselect), reload flag handler, SIGCHLD handler that only wakes the
// loop, SIGPIPE ignored, SIGTERM handler.
void install_parent_signals();

// The parent's shutdown in normal code: keep-alive pipe closed, pid file
// removed, shutdown line logged.
void parent_shutdown();
