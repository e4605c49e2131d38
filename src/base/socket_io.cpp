#include "base/socket_io.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <strings.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"

namespace {

// Large enough for a whole small request (head, heads and a few KiB of
// body) in one read, and no larger than a head the keeper passes on
// (16 KiB), since a hand-off carries what this buffer holds.
constexpr size_t line_buffer_size = 16384;

int32_t g_timeout = 60;

// Read-ahead of the line reader; it serves the one ICAP connection of the
// process.
char g_line_buffer[line_buffer_size];
int64_t g_line_count = 0;
const char* g_line_pos = g_line_buffer;

int wait_for(int fd, short events, int timeout_seconds) {
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    // Waits longer than poll can express (about 24 days) have no limit.
    int timeout_ms = timeout_seconds < 0 || timeout_seconds > INT_MAX / 1000 ? -1 : timeout_seconds * 1000;
    int rc;
    do {
        rc = poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc > 0 && (p.revents & POLLNVAL)) {
        errno = EBADF;
        return -1;
    }
    return rc;
}

int wait_seconds() { return g_timeout < 1 ? -1 : g_timeout; }

// Results of io_once besides a byte count.
constexpr ssize_t io_failed = -1;       // read or write error (errno)
constexpr ssize_t io_wait_failed = -2;  // poll error (errno)
constexpr ssize_t io_timed_out = -3;

// Moves up to n bytes: at once when the descriptor is ready, else after a
// wait of at most the time-out. Sockets are tried first without blocking,
// which saves the wait when data or buffer room is already there.
ssize_t io_once(int fd, char* data, size_t n, bool reading) {
    bool is_socket = true;
    for (;;) {
        ssize_t r;
        if (is_socket) {
            r = reading ? recv(fd, data, n, MSG_DONTWAIT) : send(fd, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (r >= 0)
                return r;
            if (errno == EINTR)
                continue;
            if (errno == ENOTSOCK)
                is_socket = false;
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                return io_failed;
        }
        int ready = reading ? wait_readable(fd, wait_seconds()) : wait_writable(fd, wait_seconds());
        if (ready < 0)
            return io_wait_failed;
        if (ready == 0)
            return io_timed_out;
        if (!is_socket) {
            do {
                r = reading ? read(fd, data, n) : write(fd, data, n);
            } while (r < 0 && errno == EINTR);
            if (r >= 0)
                return r;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return io_failed;
        }
    }
}

void close_broken(int* fd) {
    close(*fd);
    *fd = -1;
}

// One io_once with its failures logged: a broken connection is closed.
// Returns the bytes moved (0 at end of file) or -1.
ssize_t checked_once(int* fd, char* data, size_t n, bool reading) {
    const char* what = reading ? "read" : "write";
    ssize_t moved = io_once(*fd, data, n, reading);
    if (moved == io_wait_failed) {
        vrx_log(log_level::error, "%s: error in select: %s\n", what, strerror(errno));
        return -1;
    }
    if (moved == io_timed_out) {
        vrx_log(log_level::error, "%s: timeout error (after %i seconds)\n", what, g_timeout);
        return -1;
    }
    if (moved < 0) {
        vrx_log(log_level::error, "%s error: %s\n", what, strerror(errno));
        close_broken(fd);
        return -1;
    }
    return moved;
}

}  // namespace

void socket_io_set_timeout(int32_t seconds) { g_timeout = seconds; }

int wait_readable(int fd, int timeout_seconds) { return wait_for(fd, POLLIN, timeout_seconds); }

int wait_writable(int fd, int timeout_seconds) { return wait_for(fd, POLLOUT, timeout_seconds); }

int64_t safe_readwrite(int* fd, void* buffer, int64_t length, bool reading, bool use_readline) {
    if (*fd < 0)
        return -1;
    // The non-blocking first try leaves EAGAIN behind; callers that report
    // errno after a short read must see what it was before the transfer.
    const int entry_errno = errno;
    char* bytes = static_cast<char*>(buffer);
    int64_t done = 0;
    if (reading && use_readline && g_line_count > 0) {
        done = length < g_line_count ? length : g_line_count;
        memcpy(bytes, g_line_pos, static_cast<size_t>(done));
        g_line_pos += done;
        g_line_count -= done;
    }
    while (done < length) {
        ssize_t n = checked_once(fd, bytes + done, static_cast<size_t>(length - done), reading);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    errno = entry_errno;
    return done;
}

int64_t read_some(int* fd, void* buffer, int64_t length) {
    if (*fd < 0 || length < 1)
        return -1;
    if (g_line_count > 0)
        return safe_readwrite(fd, buffer, length < g_line_count ? length : g_line_count, true, true);
    const int entry_errno = errno;
    ssize_t n = checked_once(fd, static_cast<char*>(buffer), static_cast<size_t>(length), true);
    if (n >= 0)
        errno = entry_errno;
    return n;
}

int64_t write_all(int* fd, const void* buffer, int64_t length) {
    return safe_readwrite(fd, const_cast<void*>(buffer), length, false, false);
}

int64_t read_all(int* fd, void* buffer, int64_t length, bool use_readline) {
    return safe_readwrite(fd, buffer, length, true, use_readline);
}

int64_t write_uint32(int* fd, uint32_t value) {
    uint32_t wire = htonl(value);
    return write_all(fd, &wire, sizeof wire);
}

int64_t read_uint32(int* fd, uint32_t* value) {
    uint32_t wire = 0;
    int64_t n = read_all(fd, &wire, sizeof wire, false);
    if (n == static_cast<int64_t>(sizeof wire))
        *value = ntohl(wire);
    return n;
}

bool readline_empty() { return g_line_count < 1; }

void readline_discard() {
    g_line_count = 0;
    g_line_pos = g_line_buffer;
}

size_t readline_buffered(const char** data) {
    *data = g_line_pos;
    return g_line_count > 0 ? static_cast<size_t>(g_line_count) : 0;
}

void readline_preload(const char* data, size_t length) {
    length = length < line_buffer_size ? length : line_buffer_size;
    memmove(g_line_buffer, data, length);
    g_line_pos = g_line_buffer;
    g_line_count = static_cast<int64_t>(length);
}

int64_t readline(int* fd, char* buffer, size_t size, const char* tag) {
    if (size < 2) {
        if (size == 1)
            buffer[0] = '\0';
        return 1;
    }
    int64_t stored = 0;
    int64_t result = 0;
    bool ended = false;
    while (!ended && static_cast<size_t>(stored) < size - 1) {
        if (g_line_count < 1) {
            if (*fd < 0) {
                result = -1;
                break;
            }
            ssize_t n = io_once(*fd, g_line_buffer, line_buffer_size, true);
            if (n < 0 && n != io_timed_out) {
                vrx_log(log_level::error, "readline error: %s\n", strerror(errno));
                result = -1;
                break;
            }
            if (n <= 0) {  // end of file or time-out
                if (stored == 0)
                    vrx_log(log_level::info, "ICAP client break connection\n");
                break;
            }
            g_line_pos = g_line_buffer;
            g_line_count = n;
        }
        char c = *g_line_pos++;
        --g_line_count;
        buffer[stored++] = c;
        ended = c == '\n';
    }
    buffer[stored] = '\0';
    if (result == 0)
        result = stored;
    if (result <= 0 && *fd >= 0)
        close_broken(fd);
    if (tag)
        vrx_log(log_level::headers, "%s '%s'\n", tag, buffer);
    return result;
}

const char* find_nocase(const char* text, const char* pattern) {
    size_t length = strlen(pattern);
    for (const char* p = text;; ++p) {
        if (strncasecmp(p, pattern, length) == 0)
            return p;
        if (!*p)
            return nullptr;
    }
}
