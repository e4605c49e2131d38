#include "daemon/lock_cleaner.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "settings/icapd_config.h"

void clean_lock_files(time_t now) {
    vrx_log(log_level::debug, "Start check for lock files...\n");
    DIR* dir = opendir(g_config.cache.c_str());
    if (!dir) {
        vrx_log(log_level::error, "Can`t open dir %s: %s\n", g_config.cache.c_str(), strerror(errno));
        vrx_log(log_level::debug, "Stop checking\n");
        exit(0);
    }
    while (struct dirent* entry = readdir(dir)) {
        if (strncmp(entry->d_name, "lock.", 5) != 0)
            continue;
        std::string path = g_config.cache + entry->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            vrx_log(log_level::error, "Stat error for %s: %s\n", path.c_str(), strerror(errno));
            break;
        }
        if (now > g_config.mail_cache + st.st_mtime) {
            vrx_log(log_level::debug, "Remove old lock file %s\n", path.c_str());
            unlink(path.c_str());
        }
    }
    closedir(dir);
    vrx_log(log_level::debug, "Stop checking\n");
    exit(0);
}
