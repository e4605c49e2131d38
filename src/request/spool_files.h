#pragma once
// The temporary body files a worker holds, kept where a signal handler can
// remove them all: the Timeout alarm and SIGTERM end a worker in the middle
// of a request, when no destructor runs.

#include <string>
#include <sys/types.h>

// Remembers a file just created; false when every slot is taken (the file
// is then removed by its owner only).
bool spool_files_add(const std::string& path);
// Forgets a file its owner has removed or renamed away.
void spool_files_forget(const std::string& path);
// Removes every remembered file; async-signal-safe.
void spool_files_remove_all();

// mkstemp pattern of a body file of worker `pid` in `folder`: the entity's
// name, the pid, then "-XXXXXX". A cured copy adds ".XXXXXX" to a body
// file's name.
std::string spool_file_pattern(const std::string& folder, const std::string& entity_name, pid_t pid);
// Removes from `folder` the files of worker `pid`, which ended without
// removing them (killed by SIGKILL or a crash); returns how many went.
// Only for a reaped worker: until then its pid cannot be another's.
int spool_files_remove_of(const std::string& folder, pid_t pid);
