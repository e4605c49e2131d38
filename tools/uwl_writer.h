#pragma once
// Writing of signed URL category list files: the library behind uwl_build,
// also used by the tests to make their list files.

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "uwl_files/uwl_format.h"

using uwl_key_bytes = std::array<unsigned char, uwl_key_size>;

struct uwl_key_less {
    bool operator()(const uwl_key_bytes& a, const uwl_key_bytes& b) const
    {
        return uwl_key_compare(a.data(), b.data()) < 0;
    }
};

// What one list file holds, in any order; layout sorts every section.
struct uwl_source {
    std::string type;                                  // "porno", "whitelist_malware", ...
    std::vector<std::string> patterns;
    std::vector<std::array<unsigned char, 4>> ipv4;
    std::vector<std::array<unsigned char, 16>> ipv6;
    std::vector<uwl_key_bytes> keys;
    // Each key with its parameter sets; a set is a list of "name=value" texts.
    std::map<uwl_key_bytes, std::vector<std::vector<std::string>>, uwl_key_less> param_keys;
};

// The key of "host[/path]": the level is the host's label count (255 for an
// IPv4 address, 254 for an IPv6 address, bracketed or not), the digest the
// MD5 of the host as request URLs are read (lower case, one final "."
// dropped) or of the binary address, followed by the path. Throws
// std::runtime_error for a key that no URL could match (user part, port,
// query, more than 253 labels).
uwl_key_bytes uwl_url_key(const std::string& url);

// One statement of the source format (see uwl_source_format); blank lines
// and "#" comments are ignored. Throws std::runtime_error on a bad line.
void uwl_source_line(uwl_source& source, const std::string& line);

// Usage text of the source format.
extern const char uwl_source_format[];

// The file without its signature. The section table has `entries` entries
// (at most 7): with 7 every section is present and the last entry ends
// section 5; fewer entries leave the later sections absent.
std::string uwl_layout(const uwl_source& source, size_t entries = uwl_section_count + 1);

// `body` followed by its 40-byte signature made with the PEM private DSA key
// at `key_path`. Throws std::runtime_error when the key is unusable.
std::string uwl_sign(const std::string& body, const std::string& key_path);
