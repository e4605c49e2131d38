#pragma once
// Resolved host lists: BlackHosts, WhiteHosts, AclList, WhiteUwlFiles.

#include <cstdint>
#include <list>
#include <string>
#include <vector>
#include <sys/socket.h>

constexpr uint32_t host_entry_host = 0;    // a list-file line as written
constexpr uint32_t host_entry_ip_str = 1;  // text form of a resolved address

struct host_entry {
    uint32_t type = host_entry_host;
    std::string text;
};

using host_list = std::list<host_entry>;

enum class host_list_mode {
    names_and_addresses,  // BlackHosts, WhiteHosts
    addresses_only,       // AclList
    names_only,           // WhiteUwlFiles
};

// Reads every file of `files` into `dest`; an unreadable file is logged and
// thrown as load_failure (status 1).
void build_host_list(const std::vector<std::string>& files, host_list& dest, host_list_mode mode);
void print_host_list(const host_list& list, const char* setting_name);

// Black-list rule: 1 when a "host" entry occurs anywhere in the decoded
// text or the decoded text begins with an "ip_str" entry.
int is_host_in_list(const std::string& text, const host_list& list);

// White-list rule: the URL's host (no port, case ignored) equals the entry
// or ends with "." + entry; an entry with "/" is a URL prefix; an "ip_str"
// entry matches the host exactly.
int is_host_in_white_list(const std::string& url, const host_list& list);

// Accept-loop client check against AclList.
int acl_client_allowed(const sockaddr* peer, socklen_t length, const host_list& acl);

// inet_ntop text of the address, "?" on failure (static buffer).
const char* address_text(const sockaddr* address);
