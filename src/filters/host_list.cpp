#include "filters/host_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <netdb.h>
#include <sys/types.h>

#include "base/load_failure.h"
#include "base/log.h"
#include "filters/url_decode.h"

namespace {

// One read takes at most 9998 characters; a longer line gives several entries.
constexpr int line_buffer_size = 9999;
// Decoded texts are cut to 9999 bytes, as every URL buffer of the daemon.
constexpr size_t decode_buffer_size = 10000;

bool is_skipped_line(const char* line)
{
    if (line[0] == ';' || line[0] == '#')
        return true;
    for (const char* p = line; *p; ++p)
        if (!isspace(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

bool append_entry(host_list& dest, uint32_t type, const char* text)
{
    try {
        dest.push_back(host_entry{type, text});
        return true;
    } catch (const std::bad_alloc&) {
        vrx_log(log_level::error, "Error adding new element to list!!!\n");
        return false;
    }
}

// Appends one "ip_str" entry per address the line resolves to; false when
// the file must not be read further.
bool append_addresses(host_list& dest, const char* line)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    const int rc = getaddrinfo(line, nullptr, &hints, &results);
    if (rc != 0) {
        vrx_log(log_level::error, "dns resolver error for host: '%s': %s\n", line, gai_strerror(rc));
        return true;
    }
    bool ok = true;
    for (const addrinfo* ai = results; ai && ok; ai = ai->ai_next)
        ok = append_entry(dest, host_entry_ip_str, address_text(ai->ai_addr));
    freeaddrinfo(results);
    return ok;
}

void read_host_file(FILE* file, host_list& dest, host_list_mode mode)
{
    char line[line_buffer_size];
    while (fgets(line, line_buffer_size, file)) {
        const size_t length = strlen(line);
        if (length > 0 && line[length - 1] == '\n')
            line[length - 1] = '\0';
        if (is_skipped_line(line))
            continue;
        if (mode != host_list_mode::addresses_only && !append_entry(dest, host_entry_host, line))
            return;
        if (mode != host_list_mode::names_only && !append_addresses(dest, line))
            return;
    }
}

std::string decode_text(const std::string& text)
{
    const size_t length = std::min(text.size(), decode_buffer_size - 1);
    std::string decoded(length + 1, '\0');
    decoded.resize(url_decode(&decoded[0], text.data(), length));
    return decoded;
}

bool iequal(const char* a, size_t a_length, const char* b, size_t b_length)
{
    return a_length == b_length && strncasecmp(a, b, a_length) == 0;
}

// Length of a leading "scheme://", 0 when there is none.
size_t scheme_length(const std::string& url)
{
    size_t i = 0;
    while (i < url.size() && (isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' ||
                              url[i] == '-' || url[i] == '.'))
        ++i;
    if (i > 0 && isalpha(static_cast<unsigned char>(url[0])) && url.compare(i, 3, "://") == 0)
        return i + 3;
    return 0;
}

// The host of a URL with or without scheme: the authority up to "/", "?"
// or "#", without user information, brackets of an IPv6 literal and port.
std::string url_host(const std::string& url)
{
    const size_t start = scheme_length(url);
    size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos)
        end = url.size();
    std::string host = url.substr(start, end - start);
    const size_t at = host.rfind('@');
    if (at != std::string::npos)
        host.erase(0, at + 1);
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        return close == std::string::npos ? std::string() : host.substr(1, close - 1);
    }
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos &&
        host.find_first_not_of("0123456789", colon + 1) == std::string::npos)
        host.erase(colon);
    return host;
}

// An entry with a path is a URL prefix: its host part is compared without
// regard to case, the path exactly. An entry written without a scheme is
// compared with the URL without its scheme.
bool prefix_matches(const std::string& entry, size_t host_end, const std::string& url)
{
    const std::string rest = scheme_length(entry) ? url : url.substr(scheme_length(url));
    return rest.size() >= entry.size() && strncasecmp(entry.data(), rest.data(), host_end) == 0 &&
           rest.compare(host_end, entry.size() - host_end, entry, host_end) == 0;
}

bool host_matches(const std::string& entry, const std::string& host)
{
    if (iequal(entry.data(), entry.size(), host.data(), host.size()))
        return true;
    // A subdomain: the host ends with "." + entry.
    return host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
           strcasecmp(host.c_str() + host.size() - entry.size(), entry.c_str()) == 0;
}

}  // namespace

void build_host_list(const std::vector<std::string>& files, host_list& dest, host_list_mode mode)
{
    for (const std::string& path : files) {
        FILE* file = fopen(path.c_str(), "r");
        if (!file) {
            vrx_log(log_level::error, "can not open file with hosts list '%s'\n", path.c_str());
            throw load_failure(1, "can not open file with hosts list '" + path + "'");
        }
        read_host_file(file, dest, mode);
        fclose(file);
    }
}

void print_host_list(const host_list& list, const char* setting_name)
{
    if (list.empty()) {
        vrx_log(log_level::debug, "Empty list %s\n", setting_name);
        return;
    }
    vrx_log(log_level::debug, "list %s:\n", setting_name);
    for (const host_entry& entry : list) {
        const char* type = entry.type == host_entry_host     ? "host"
                           : entry.type == host_entry_ip_str ? "ip_str"
                                                             : "unknown";
        vrx_log(log_level::debug, " %s type: %s\n", entry.text.c_str(), type);
    }
}

int is_host_in_list(const std::string& text, const host_list& list)
{
    if (text.empty() || list.empty())
        return 0;
    // The whole decoded text is searched, so an escaped zero byte cannot
    // hide the rest of the URL from the list.
    const std::string decoded = decode_text(text);
    for (const host_entry& entry : list) {
        const bool match =
            (entry.type == host_entry_host && decoded.find(entry.text) != std::string::npos) ||
            (entry.type == host_entry_ip_str && decoded.compare(0, entry.text.size(), entry.text) == 0);
        if (match) {
            vrx_log(log_level::debug, "is_host_in_list: addr [%s] is substr of [%s]\n",
                    entry.text.c_str(), decoded.c_str());
            return 1;
        }
    }
    return 0;
}

int is_host_in_white_list(const std::string& url, const host_list& list)
{
    if (url.empty() || list.empty())
        return 0;
    const std::string decoded = decode_text(url);
    const std::string host = url_host(decoded);
    for (const host_entry& entry : list) {
        bool match = false;
        if (entry.type == host_entry_ip_str)
            match = iequal(entry.text.data(), entry.text.size(), host.data(), host.size());
        else if (entry.type == host_entry_host) {
            const size_t start = scheme_length(entry.text);
            const size_t path = entry.text.find('/', start);
            match = path == std::string::npos ? host_matches(entry.text.substr(start), host)
                                              : prefix_matches(entry.text, path, decoded);
        }
        if (match) {
            vrx_log(log_level::debug, "is_host_in_white_list: [%s] matches [%s]\n",
                    entry.text.c_str(), decoded.c_str());
            return 1;
        }
    }
    return 0;
}
