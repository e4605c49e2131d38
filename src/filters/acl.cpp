#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <netinet/in.h>

#include "base/log.h"
#include "filters/host_list.h"

const char* address_text(const sockaddr* address)
{
    static char text[INET6_ADDRSTRLEN];
    const void* raw = nullptr;
    if (address && address->sa_family == AF_INET)
        raw = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    else if (address && address->sa_family == AF_INET6)
        raw = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (!raw || !inet_ntop(address->sa_family, raw, text, sizeof text))
        strcpy(text, "?");
    return text;
}

namespace {

bool in_acl(const std::string& text, const host_list& acl)
{
    for (const host_entry& entry : acl)
        if (entry.text == text)
            return true;
    return false;
}

// A listener on an IPv6 socket sees IPv4 clients as ::ffff:a.b.c.d; their
// IPv4 text lets such clients match the entries of their IPv4 address.
std::string mapped_ipv4_text(const sockaddr* peer)
{
    if (peer->sa_family != AF_INET6)
        return std::string();
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr;
    if (!IN6_IS_ADDR_V4MAPPED(&v6))
        return std::string();
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    memcpy(&v4.sin_addr, &v6.s6_addr[12], 4);
    return address_text(reinterpret_cast<const sockaddr*>(&v4));
}

}  // namespace

int acl_client_allowed(const sockaddr* peer, socklen_t length, const host_list& acl)
{
    const bool complete =
        peer && length >= static_cast<socklen_t>(sizeof(sa_family_t)) &&
        ((peer->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) ||
         (peer->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))));
    const std::string text = address_text(complete ? peer : nullptr);
    if (text == "?")
        return 0;   // unreadable: refused, and there is no peer to name
    const std::string v4 = mapped_ipv4_text(peer);
    if (in_acl(text, acl) || (!v4.empty() && in_acl(v4, acl))) {
        vrx_log(log_level::wire, "Find ip %s in acl\n", text.c_str());
        return 1;
    }
    vrx_log(log_level::error, "Block ip %s: not in acl\n", text.c_str());
    return 0;
}
