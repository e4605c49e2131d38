#include "uwl_files/uwl_match.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/log.h"

namespace {

constexpr size_t path_length_max = 0xffff;   // 16 bits in a key

// First record of a sorted section that is not below the key.
template <class Compare>
const unsigned char* lower_record(const uwl_span& section, size_t record, Compare compare)
{
    size_t low = 0;
    size_t high = section.size() / record;
    while (low < high) {
        const size_t mid = low + (high - low) / 2;
        if (compare(section.begin + mid * record) < 0)
            low = mid + 1;
        else
            high = mid;
    }
    return section.begin + low * record;
}

bool has_bytes(const uwl_span& section, const unsigned char* value, size_t size)
{
    if (!section.present())
        return false;
    const unsigned char* r = lower_record(section, size, [&](const unsigned char* rec) {
        return std::memcmp(rec, value, size);
    });
    return r < section.end && std::memcmp(r, value, size) == 0;
}

bool match_address(const UwlFile& file, const ParsedUrl& url, std::string& match_with)
{
    if (url.m_ip_type == url_ip_v4) {
        if (!has_bytes(file.section(uwl_ipv4), url.m_address, 4))
            return false;
        vrx_log(log_level::wire, "MATCH by IPv4 address with %s\n", url.m_host.c_str());
    } else if (url.m_ip_type == url_ip_v6) {
        unsigned char digest[uwl_digest_size];
        uwl_md5::once(url.m_address, 16, digest);
        if (!has_bytes(file.section(uwl_ipv6), digest, sizeof digest))
            return false;
        vrx_log(log_level::wire, "MATCH by IPv6 address with %s\n", url.m_host.c_str());
    } else {
        return false;
    }
    match_with = url.m_host;
    return true;
}

bool contains_ignoring_case(const char* text, size_t length, const char* pattern, size_t pattern_length)
{
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    return std::search(text, text + length, pattern, pattern + pattern_length, same) != text + length;
}

bool match_pattern(const UwlFile& file, const ParsedUrl& url, std::string& match_with)
{
    const uwl_span& patterns = file.section(uwl_patterns);
    if (!patterns.present())
        return false;
    // The section ends with a zero byte (checked at load).
    for (const unsigned char* p = patterns.begin; p < patterns.end;) {
        const char* pattern = reinterpret_cast<const char*>(p);
        const size_t length = std::strlen(pattern);
        p += length + 1;
        // An empty pattern would occur in every URL.
        if (length == 0 || !contains_ignoring_case(url.m_text, url.m_length, pattern, length))
            continue;
        vrx_log(log_level::wire, "MATCH by string %s with %s\n", url.m_text, pattern);
        match_with.assign(pattern, length);
        return true;
    }
    return false;
}

// A set matches when each of its digests is among the URL's parameters; the
// walk stops at a set that would run past section 0.
bool match_param_sets(const UwlFile& file, const unsigned char* record, const ParsedUrl& url)
{
    const uwl_span& sets = file.section(uwl_param_sets);
    const uint32_t count = uwl_get32(record + uwl_key_size + 4);
    // The load checks the offset of non-empty lists only.
    if (count == 0)
        return false;
    const unsigned char* p = sets.begin + uwl_get32(record + uwl_key_size);
    for (uint32_t i = 0; i < count && p < sets.end; ++i) {
        const size_t n = *p++;
        if (static_cast<size_t>(sets.end - p) < n * uwl_digest_size)
            return false;
        const unsigned char* set_end = p + n * uwl_digest_size;
        bool all = true;
        for (; p < set_end && all; p += uwl_digest_size) {
            uwl_digest digest;
            std::memcpy(digest.data(), p, uwl_digest_size);
            all = std::binary_search(url.m_param_digests.begin(), url.m_param_digests.end(), digest);
        }
        if (all)
            return true;
        p = set_end;
    }
    return false;
}

// The records of one level: keys sort by level first, so they are one run.
uwl_span level_records(const uwl_span& section, size_t record, unsigned level)
{
    if (!section.present())
        return {};
    const int wanted = static_cast<signed char>(level);
    const auto below = [&](int delta) {
        return [=](const unsigned char* rec) {
            const int l = static_cast<signed char>(rec[0]);
            return l < wanted + delta ? -1 : 1;
        };
    };
    return {lower_record(section, record, below(0)), lower_record(section, record, below(1))};
}

struct key_lookup {
    const UwlFile& file;
    const ParsedUrl& url;
    unsigned level;
    std::string host_part;      // the host text the key starts from
    size_t host_offset;         // where that text begins in the URL
    uwl_span keys;              // section 4 records of this level
    uwl_span param_keys;        // section 5 records of this level, when the URL has a query

    key_lookup(const UwlFile& f, const ParsedUrl& u, unsigned l, std::string host, size_t offset)
        : file(f), url(u), level(l), host_part(std::move(host)), host_offset(offset),
          keys(level_records(f.section(uwl_keys), uwl_key_size, l))
    {
        if (!u.m_params.empty() && f.section(uwl_param_sets).present())
            param_keys = level_records(f.section(uwl_param_keys), uwl_param_key_size, l);
    }

    bool empty() const { return keys.size() == 0 && param_keys.size() == 0; }

    bool find(size_t path_length, const uwl_md5& state, std::string& match_with) const
    {
        unsigned char digest[uwl_digest_size];
        state.digest(digest);
        unsigned char key[uwl_key_size];
        uwl_key_encode(key, level, static_cast<unsigned>(path_length), digest);
        const auto compare = [&](const unsigned char* rec) { return uwl_key_compare(rec, key); };

        if (keys.size() != 0) {
            const unsigned char* r = lower_record(keys, uwl_key_size, compare);
            if (r < keys.end && compare(r) == 0) {
                match_with = host_part;
                match_with.append(url.m_text + url.m_path_start, path_length);
                vrx_log(log_level::wire, "MATCH url %s with %s\n", url.m_text, match_with.c_str());
                return true;
            }
        }
        if (param_keys.size() == 0)
            return false;
        for (const unsigned char* r = lower_record(param_keys, uwl_param_key_size, compare);
             r < param_keys.end && compare(r) == 0; r += uwl_param_key_size) {
            if (match_param_sets(file, r, url)) {
                match_with.assign(url.m_text + host_offset, url.m_length - host_offset);
                vrx_log(log_level::wire, "MATCH with params %s with %s\n", url.m_text, match_with.c_str());
                return true;
            }
        }
        return false;
    }
};

// Prefix lengths of the path tried after the empty one: every position just
// before a "/", just after one, and the end ("/a/b": "/", "/a", "/a/", "/a/b").
size_t next_prefix(const char* path, size_t length, size_t current)
{
    for (size_t p = current + 1; p < length; ++p)
        if (path[p] == '/' || path[p - 1] == '/')
            return p;
    return length;
}

bool match_level(const key_lookup& lookup, uwl_md5 state, std::string& match_with)
{
    const ParsedUrl& url = lookup.url;
    const char* path = url.m_text + url.m_path_start;
    const size_t resource = std::min(url.m_resource, path_length_max);
    size_t length = 0;
    for (;;) {
        if (lookup.find(length, state, match_with))
            return true;
        if (length >= resource)
            return false;
        const size_t next = next_prefix(path, resource, length);
        state.update(path + length, next - length);
        length = next;
    }
}

bool match_keys(const UwlFile& file, const ParsedUrl& url, std::string& match_with)
{
    if (url.m_ip_type != url_ip_none) {
        const bool v4 = url.m_ip_type == url_ip_v4;
        const key_lookup lookup(file, url, v4 ? uwl_level_ipv4 : uwl_level_ipv6, url.m_host, url.m_host_start);
        if (!lookup.empty()) {
            uwl_md5 state;
            state.update(url.m_address, v4 ? 4 : 16);
            if (match_level(lookup, state, match_with))
                return true;
        }
    }
    const size_t labels = url.label_count();
    for (unsigned level = 1; level <= uwl_level_max_labels && level <= labels; ++level) {
        const size_t start = url.suffix_start(level);
        const key_lookup lookup(file, url, level, url.m_host.substr(start), url.m_host_start + start);
        if (lookup.empty())
            continue;
        uwl_md5 state;
        state.update(lookup.host_part.data(), lookup.host_part.size());
        if (match_level(lookup, state, match_with))
            return true;
    }
    return false;
}

}  // namespace

bool uwl_file_match(const UwlFile& file, const ParsedUrl& url, std::string& match_with)
{
    return match_address(file, url, match_with) || match_pattern(file, url, match_with)
        || match_keys(file, url, match_with);
}
