#include "daemon/daemon_state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "base/log.h"

int g_listen_fd = -1;
int g_keepalive_pipe[2] = {-1, -1};
int g_wake_pipe[2] = {-1, -1};
int g_retired_keepalive_write = -1;
volatile sig_atomic_t g_is_worker = 0;
volatile sig_atomic_t g_reload_requested = 0;
volatile sig_atomic_t g_terminate_requested = 0;

void close_keepalive_pipe() {
    for (int& end : g_keepalive_pipe) {
        if (end >= 0)
            close(end);
        end = -1;
    }
}

void retire_keepalive_pipe() {
    close_retired_keepalive_pipe();
    if (g_keepalive_pipe[0] >= 0)
        close(g_keepalive_pipe[0]);
    g_retired_keepalive_write = g_keepalive_pipe[1];
    g_keepalive_pipe[0] = g_keepalive_pipe[1] = -1;
}

void close_retired_keepalive_pipe() {
    if (g_retired_keepalive_write >= 0)
        close(g_retired_keepalive_write);
    g_retired_keepalive_write = -1;
}

void open_keepalive_pipe() {
    if (pipe2(g_keepalive_pipe, O_CLOEXEC) != 0) {
        vrx_log(log_level::error, "pipe error: %s\n", strerror(errno));
        exit(1);
    }
}

void open_wake_pipe() {
    if (pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        vrx_log(log_level::error, "pipe error: %s\n", strerror(errno));
        exit(1);
    }
}

void wake_parent() {
    const char byte = 'w';
    ssize_t ignored = write(g_wake_pipe[1], &byte, 1);
    (void)ignored;
}
