#pragma once
// Removal of stale e-mail lock files ("lock.*" in the Cache folder).

#include <ctime>

// Runs in its own forked child: removes lock files whose modification time
// is more than MailCache seconds before `now`, then exits 0.
[[noreturn]] void clean_lock_files(time_t now);
