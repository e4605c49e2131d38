#pragma once
// A free TCP port on 127.0.0.1 for a server a test starts. It is taken
// below the kernel's range for the local ports of outgoing connections: a
// port from that range can go to the next connect() of a test running
// alongside before the server binds it.

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace free_port_detail {

// Binds a loopback socket to `port` (0: any) and returns the port it got,
// or 0 when it cannot be bound.
inline int bind_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    int bound = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        bound = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return bound;
}

}  // namespace free_port_detail

inline int free_loopback_port() {
    constexpr int lowest = 10000;
    int outgoing_low = 32768;
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    range >> outgoing_low;
    if (outgoing_low - lowest >= 1000) {
        static std::mt19937 pick(std::random_device{}());
        std::uniform_int_distribution<int> port_below(lowest, outgoing_low - 1);
        for (int attempt = 0; attempt < 200; ++attempt)
            if (int port = free_port_detail::bind_loopback(port_below(pick)))
                return port;
    }
    return free_port_detail::bind_loopback(0);
}
