#pragma once
// The engine's version, the number in the ISTAG, in a small mapping shared
// by the parent and every worker, so that neither an OPTIONS reply nor a
// reload waits on the engine. A worker asks the engine after it has sent a
// reply, when the number is older than engine_version_max_age or a reload
// marked it stale; one worker at a time, each exchange bounded by Timeout.

#include <cstdint>
#include <string>

constexpr int64_t engine_version_max_age = 10;   // seconds

// Parent. The first call (start-up, before any worker) maps the record and
// asks the engine once; a later one (a reload) only marks the number stale.
void engine_version_loaded();

// The last known number; virus_total in a process without the mapping.
unsigned long engine_version_number();

// Worker, after a reply: refreshes the number when it is due and no other
// worker has taken the refresh.
void engine_version_refresh_if_due();

// The engine's description as last learnt (daemon_info in a process
// without the mapping); empty while unknown. Never asks the engine.
std::string engine_release_text();
