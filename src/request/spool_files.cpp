#include "request/spool_files.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "base/log.h"

namespace {

// A request holds its body file, a report page and a cured copy at most;
// the rest is headroom.
constexpr size_t slots = 16;

// A slot's path is written before it is marked used and unmarked before it
// is reused, so a handler never reads a path being written.
char g_paths[slots][PATH_MAX];
volatile sig_atomic_t g_used[slots];

// Whether `name` is a file of spool_file_pattern for `pid`: a name
// without digits, exactly the pid's digits, then '-'.
bool spool_file_of(const char* name, const std::string& pid) {
    size_t prefix = 0;
    while (name[prefix] == '-' || (name[prefix] >= 'a' && name[prefix] <= 'z'))
        ++prefix;
    return prefix > 0 && strncmp(name + prefix, pid.c_str(), pid.size()) == 0 && name[prefix + pid.size()] == '-';
}

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

std::string spool_file_pattern(const std::string& folder, const std::string& entity_name, pid_t pid) {
    return folder + entity_name + std::to_string(pid) + "-XXXXXX";
}

int spool_files_remove_of(const std::string& folder, pid_t pid) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        vrx_log(log_level::error, "cannot read the Cache folder %s: %s\n", folder.c_str(), strerror(errno));
        return 0;
    }
    const std::string digits = std::to_string(pid);
    int removed = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (!spool_file_of(entry->d_name, digits))
            continue;
        std::string path = folder + entry->d_name;
        if (unlink(path.c_str()) == 0) {
            ++removed;
            vrx_log(log_level::debug, "removed %s of ended worker %i\n", path.c_str(), static_cast<int>(pid));
        }
    }
    closedir(dir);
    return removed;
}
