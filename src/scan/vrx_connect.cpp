// Connecting to the scanning daemon (or the agent) through an address list.

#include "scan/vrx_client.h"
#include "scan/scan_session.h"

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
#include "settings/icapd_config.h"

namespace {

// The last scan connection attempt passed over a failed address.
bool g_local_scan_fell_back = false;

const char* address_type_name(int32_t type)
{
    switch (type) {
    case DAEMON_ADDR_INET: return "inet";
    case DAEMON_ADDR_LOCAL: return "local";
    default: return "???";
    }
}

int timeout_seconds()
{
    return g_config.timeout < 1 ? -1 : g_config.timeout;
}

// A local socket whose backlog is full does not take a non-blocking
// connect at all (EAGAIN); a blocking one waits at most its send time-out.
bool connect_local_blocking(int fd, const sockaddr* address, socklen_t length)
{
    timeval limit{timeout_seconds() < 0 ? 0 : timeout_seconds(), 0};
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

// Connects without waiting longer than Timeout (0: no limit) for the peer
// to accept: a silent address must not hold a scan, an OPTIONS or the
// start-up for the kernel's own time-out. The socket stays blocking.
bool connect_within_timeout(int fd, const sockaddr* address, socklen_t length)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    if (connect(fd, address, length) != 0) {
        if (errno == EAGAIN && address->sa_family == AF_UNIX)
            return fcntl(fd, F_SETFL, flags) == 0 && connect_local_blocking(fd, address, length);
        if (errno != EINPROGRESS)
            return false;
        int ready = wait_writable(fd, timeout_seconds());
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

int connect_inet(const DaemonAddress& address)
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
        if (connect_within_timeout(fd, ai->ai_addr, ai->ai_addrlen))
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

int connect_local(const DaemonAddress& address)
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
    if (!connect_within_timeout(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun)) {
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

bool local_scan_in_effect()
{
    return g_config.local_scan && !g_local_scan_fell_back;
}

int vrx_connect1(const DaemonAddress& address)
{
    vrx_log(log_level::wire, "TRY connect to host=%s serv=%s type=%s\n",
            address.host.c_str(), address.serv.c_str(), address_type_name(address.type));
    switch (address.type) {
    case DAEMON_ADDR_INET: return connect_inet(address);
    case DAEMON_ADDR_LOCAL: return connect_local(address);
    default: return -1;   // the address parser never builds another type
    }
}

int vrx_connect(const daemon_address_list& addresses, bool local_fallback, bool non_blocking)
{
    // Every scan connection starts from the configured mode; path mode is
    // kept only while the first address is the one that answers, since the
    // later ones may be on machines that cannot read our files.
    if (local_fallback)
        g_local_scan_fell_back = false;
    for (const DaemonAddress& address : addresses) {
        int fd = vrx_connect1(address);
        if (fd >= 0 && non_blocking && !set_non_blocking(fd)) {
            close(fd);
            fd = -1;
        }
        if (fd >= 0) {
            vrx_log(log_level::wire, "Connection ok\n");
            return fd;
        }
        if (local_fallback && local_scan_in_effect()) {
            vrx_log(log_level::wire,
                    "turn off local scan mode - was error to connect on first object\n");
            g_local_scan_fell_back = true;
        }
    }
    return -1;
}
