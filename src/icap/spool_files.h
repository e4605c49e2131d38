#pragma once
// The temporary body files a worker holds, kept where a signal handler can
// remove them all: the Timeout alarm and SIGTERM end a worker in the middle
// of a request, when no destructor runs.

#include <string>

// Remembers a file just created; false when every slot is taken (the file
// is then removed by its owner only).
bool spool_files_add(const std::string& path);
// Forgets a file its owner has removed or renamed away.
void spool_files_forget(const std::string& path);
// Removes every remembered file; async-signal-safe.
void spool_files_remove_all();
