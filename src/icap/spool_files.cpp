#include "icap/spool_files.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "daemon/log.h"

namespace {

// A request holds its body file, a report page and a cured copy at most;
// the rest is headroom.
constexpr size_t slots = 16;

// A slot's path is written before it is marked used and unmarked before it
// is reused, so a handler never reads a path being written.
char g_paths[slots][PATH_MAX];
volatile sig_atomic_t g_used[slots];

}  // namespace

bool spool_files_add(const std::string& path) {
    if (path.size() >= PATH_MAX)
        return false;
    for (size_t i = 0; i < slots; ++i) {
        if (g_used[i])
            continue;
        memcpy(g_paths[i], path.c_str(), path.size() + 1);
        g_used[i] = 1;
        return true;
    }
    vrx_log(log_level::error, "spool_files_add: no slot left for %s\n", path.c_str());
    return false;
}

void spool_files_forget(const std::string& path) {
    for (size_t i = 0; i < slots; ++i)
        if (g_used[i] && path == g_paths[i])
            g_used[i] = 0;
}

void spool_files_remove_all() {
    for (size_t i = 0; i < slots; ++i) {
        if (g_used[i]) {
            unlink(g_paths[i]);
            g_used[i] = 0;
        }
    }
}
