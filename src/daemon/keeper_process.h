#pragma once
// The parent's side of the connection keeper process: started once the
// pool exists, started again when it ends (its held connections are lost
// with it; those handed over meanwhile wait in the channel), and stopped at
// shutdown.

#include <sys/types.h>

void keeper_start();
// Reaping: true when `pid` was the keeper; logs how it ended.
bool keeper_reaped(pid_t pid, int status);
// Once a loop turn: restarts an ended keeper (at most once a second) and
// logs connections refused over MaxConnections (at most once a second).
void keeper_maintain();
// Sends `signal_number` to the keeper; true while one runs.
bool keeper_signal(int signal_number);
