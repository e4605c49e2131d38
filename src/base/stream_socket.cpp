#include "base/stream_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/log.h"
#include "base/socket_io.h"

namespace {

const char* address_type_name(int32_t type)
{
    switch (type) {
    case DAEMON_ADDR_INET: return "inet";
    case DAEMON_ADDR_LOCAL: return "local";
    default: return "???";
    }
}

// A local socket whose backlog is full does not take a non-blocking
// connect at all (EAGAIN); a blocking one waits at most its send time-out.
bool connect_local_blocking(int fd, const sockaddr* address, socklen_t length, int timeout)
{
    timeval limit{timeout < 0 ? 0 : timeout, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
        return false;
    bool connected = connect(fd, address, length) == 0;
    if (!connected && (errno == EAGAIN || errno == EINPROGRESS))
        errno = ETIMEDOUT;
    timeval none{0, 0};
    int saved = errno;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    errno = saved;
    return connected;
}

// Connects without waiting longer than `timeout` (-1: no limit) for the
// peer to accept: a silent address must not hold a scan, an OPTIONS or the
// start-up for the kernel's own time-out. The socket stays blocking.
bool connect_within_timeout(int fd, const sockaddr* address, socklen_t length, int timeout)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    if (connect(fd, address, length) != 0) {
        if (errno == EAGAIN && address->sa_family == AF_UNIX)
            return fcntl(fd, F_SETFL, flags) == 0 && connect_local_blocking(fd, address, length, timeout);
        if (errno != EINPROGRESS)
            return false;
        int ready = wait_writable(fd, timeout);
        if (ready <= 0) {
            if (ready == 0)
                errno = ETIMEDOUT;
            return false;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            return false;
        if (error != 0) {
            errno = error;
            return false;
        }
    }
    return fcntl(fd, F_SETFL, flags) == 0;
}

int connect_inet(const DaemonAddress& address, int timeout)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    int rc = getaddrinfo(address.host.c_str(), address.serv.c_str(), &hints, &results);
    if (rc != 0) {
        vrx_log(log_level::info, "connect error for %s, %s: %s\n",
                address.host.c_str(), address.serv.c_str(), gai_strerror(rc));
        return -1;
    }
    int fd = -1;
    int last_error = 0;
    for (addrinfo* ai = results; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            last_error = errno;
            continue;
        }
        if (connect_within_timeout(fd, ai->ai_addr, ai->ai_addrlen, timeout))
            break;
        last_error = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(results);
    if (fd < 0)
        vrx_log(log_level::error, "connect error for %s, %s: %s\n",
                address.host.c_str(), address.serv.c_str(), strerror(last_error));
    return fd;
}

int connect_local(const DaemonAddress& address, int timeout)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        vrx_log(log_level::error, "error in open socket %s\n", strerror(errno));
        return -1;
    }
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    // At most 103 bytes of the path, always terminated.
    strncpy(sun.sun_path, address.host.c_str(), std::min<size_t>(103, sizeof sun.sun_path - 1));
    if (!connect_within_timeout(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun, timeout)) {
        vrx_log(log_level::info, "error in open connection with %s: %s\n",
                address.host.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

bool set_non_blocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

} // namespace

int connect_address(const DaemonAddress& address, int timeout, bool non_blocking)
{
    vrx_log(log_level::wire, "TRY connect to host=%s serv=%s type=%s\n",
            address.host.c_str(), address.serv.c_str(), address_type_name(address.type));
    const int limit = timeout < 1 ? -1 : timeout;
    int fd = -1;
    switch (address.type) {
    case DAEMON_ADDR_INET: fd = connect_inet(address, limit); break;
    case DAEMON_ADDR_LOCAL: fd = connect_local(address, limit); break;
    default: return -1;   // the address parser never builds another type
    }
    if (fd >= 0 && non_blocking && !set_non_blocking(fd)) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int connect_address_list(const daemon_address_list& addresses, int timeout, bool non_blocking,
                         const std::function<void()>& on_failure)
{
    for (const DaemonAddress& address : addresses) {
        int fd = connect_address(address, timeout, non_blocking);
        if (fd >= 0) {
            vrx_log(log_level::wire, "Connection ok\n");
            return fd;
        }
        if (on_failure)
            on_failure();
    }
    return -1;
}

int listen_on(const char* host, const char* serv, int backlog, bool non_blocking, listen_failure& failure)
{
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    int rc = getaddrinfo(host, serv, &hints, &results);
    if (rc != 0) {
        failure = {listen_step::resolve, rc};
        return -1;
    }
    failure = {listen_step::bind, 0};
    int fd = -1;
    for (addrinfo* ai = results; ai; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0),
                    ai->ai_protocol);
        if (fd < 0) {
            failure.error = errno;
            continue;
        }
        int on = 1;
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            failure = {listen_step::option, errno};
            break;
        }
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            if (listen(fd, backlog) == 0) {
                freeaddrinfo(results);
                return fd;
            }
            failure = {listen_step::listen, errno};
            break;
        }
        failure.error = errno;
        close(fd);
        fd = -1;
    }
    if (fd >= 0)
        close(fd);
    freeaddrinfo(results);
    return -1;
}
