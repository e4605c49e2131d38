#pragma once
// A decoded URL (scheme removed) split into the parts that list-file keys
// are built from: host, path, query parameters.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "uwl_files/uwl_format.h"

constexpr int url_ip_none = 1;    // a host name
constexpr int url_ip_v4 = 2;
constexpr int url_ip_v6 = 3;

using uwl_digest = std::array<unsigned char, uwl_digest_size>;

struct ParsedUrl {
    const char* m_text = nullptr;    // the decoded URL; not owned
    size_t m_length = 0;

    size_t m_host_start = 0;         // after any "user@" part
    size_t m_hostname_length = 0;    // host without ":port"
    std::string m_host;              // the host in lower case, no final "."
    size_t m_path_start = 0;         // the first "/" after the host, else m_length
    size_t m_resource = 0;           // path length up to "?" or the end
    std::string m_params;            // text after the "?", empty when none
    std::vector<uwl_digest> m_param_digests;   // MD5 of each "&" piece, sorted

    int m_ip_type = url_ip_none;
    unsigned char m_address[16] = {};          // network order, for v4 and v6

    // Start of each host label in m_host, first label first.
    std::vector<size_t> m_label_starts;

    size_t label_count() const { return m_label_starts.size(); }
    // Offset in m_host of the suffix made of the last `labels` labels.
    size_t suffix_start(size_t labels) const { return m_label_starts[label_count() - labels]; }
};

// Fills `url` from `text`, which must be zero-terminated and outlive `url`
// (it is not copied).
void parse_url(ParsedUrl& url, const char* text, size_t length);
