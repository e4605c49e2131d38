#include "uwl_files/parsed_url.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstring>

namespace {

constexpr size_t address_text_max = 46;

// Authority ends at the first "/", "?" or "#": a query or a fragment may
// follow the host directly ("host?x=1"), and "#" never belongs to a host.
size_t authority_end(const char* text, size_t length)
{
    size_t i = 0;
    while (i < length && text[i] != '/' && text[i] != '?' && text[i] != '#')
        ++i;
    return i;
}

// Host length inside an authority of `length` bytes: drops ":port" (a
// trailing colon and digits). A bracketed IPv6 literal ends at its "]";
// a bare one (several colons) has no port.
size_t host_length(const char* host, size_t length)
{
    if (length > 0 && host[0] == '[') {
        const void* close = std::memchr(host, ']', length);
        return close ? static_cast<const char*>(close) - host + 1 : length;
    }
    const char* colon = static_cast<const char*>(std::memchr(host, ':', length));
    if (!colon || std::memchr(colon + 1, ':', length - (colon + 1 - host)))
        return length;
    for (const char* p = colon + 1; p < host + length; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return length;
    return colon - host;
}

void find_address(ParsedUrl& url)
{
    std::string text = url.m_host;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.size() >= address_text_max || text.find('\0') != std::string::npos)
        return;
    if (inet_pton(AF_INET, text.c_str(), url.m_address) == 1)
        url.m_ip_type = url_ip_v4;
    else if (inet_pton(AF_INET6, text.c_str(), url.m_address) == 1)
        url.m_ip_type = url_ip_v6;
}

void digest_params(ParsedUrl& url)
{
    const std::string& params = url.m_params;
    size_t begin = 0;
    for (;;) {
        const size_t amp = params.find('&', begin);
        const size_t end = amp == std::string::npos ? params.size() : amp;
        uwl_digest d;
        uwl_md5::once(params.data() + begin, end - begin, d.data());
        url.m_param_digests.push_back(d);
        if (amp == std::string::npos)
            break;
        begin = amp + 1;
    }
    std::sort(url.m_param_digests.begin(), url.m_param_digests.end());
}

}  // namespace

void parse_url(ParsedUrl& url, const char* text, size_t length)
{
    url = ParsedUrl();
    url.m_text = text;
    url.m_length = length;

    const size_t authority = authority_end(text, length);
    // Credentials before the last "@" are not part of the host.
    for (size_t i = authority; i > 0; --i)
        if (text[i - 1] == '@') {
            url.m_host_start = i;
            break;
        }
    const char* host = text + url.m_host_start;
    url.m_hostname_length = host_length(host, authority - url.m_host_start);
    url.m_host.assign(host, url.m_hostname_length);
    for (char& c : url.m_host)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // "example.com." is the same host as "example.com".
    if (url.m_host.size() > 1 && url.m_host.back() == '.')
        url.m_host.pop_back();

    url.m_path_start = authority < length && text[authority] == '/' ? authority : length;
    const char* query = static_cast<const char*>(std::memchr(text + authority, '?', length - authority));
    const size_t path_end = query ? static_cast<size_t>(query - text) : length;
    url.m_resource = path_end > url.m_path_start ? path_end - url.m_path_start : 0;
    if (query) {
        url.m_params.assign(query + 1, text + length);
        if (!url.m_params.empty())
            digest_params(url);
    }

    if (!url.m_host.empty()) {
        url.m_label_starts.push_back(0);
        for (size_t i = 0; i < url.m_host.size(); ++i)
            if (url.m_host[i] == '.')
                url.m_label_starts.push_back(i + 1);
    }
    find_address(url);
}
