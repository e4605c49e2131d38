#pragma once
// One entry of an address list of scanning daemons or agents.

#include <cstdint>
#include <string>
#include <vector>

constexpr int32_t DAEMON_ADDR_INET = 1;   // TCP: serv is the port, host the node
constexpr int32_t DAEMON_ADDR_LOCAL = 2;  // local socket: host is the path

struct DaemonAddress {
    int32_t type = DAEMON_ADDR_INET;
    std::string serv;
    std::string host;
};

using daemon_address_list = std::vector<DaemonAddress>;
