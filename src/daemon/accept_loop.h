#pragma once
// The parent's pselect loop: the worker pool, reload and shutdown.

// Serves for ever; returns 0 only when pselect or accept fail for good (the
// pid file is removed then). SIGTERM exits instead; a failed reload keeps
// serving with the configuration in force.
int accept_loop();

// Scanning-daemon start-up exchange after a load (or "Virus check
// disabled"); the parent's connection is closed again afterwards.
void query_virus_bases();
