// Connecting to the scanning daemon (or the agent) through an address list.

#include "scan/vrx_client.h"
#include "scan/scan_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "daemon/log.h"
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
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
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
    if (connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) {
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
