#include "uwl_writer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "uwl_files/parsed_url.h"
#include "uwl_files/uwl_signature.h"

const char uwl_source_format[] =
    "Source format: one statement per line; blank lines and lines starting\n"
    "with \"#\" are ignored. Texts are taken literally (no %-decoding).\n"
    "  type NAME              category (\"porno\", \"malware\", ...) or\n"
    "                         \"whitelist_\" followed by one; required\n"
    "  pattern TEXT           text searched in the whole URL, any letter case\n"
    "                         (the rest of the line)\n"
    "  ipv4 ADDRESS           dotted IPv4 address\n"
    "  ipv6 ADDRESS           IPv6 address\n"
    "  url HOST[/PATH]        key: HOST and its subdomains, limited to the paths\n"
    "                         that begin with /PATH (\"example.com\" lists the\n"
    "                         whole site, \"example.com/a/\" a directory,\n"
    "                         \"example.com/a/page\" one page); HOST may be an\n"
    "                         address, IPv6 in brackets; no user part, port\n"
    "                         or query; letter case of HOST is ignored\n"
    "  params HOST[/PATH] [NAME=VALUE ...]\n"
    "                         the same key, only for URLs whose query holds\n"
    "                         every NAME=VALUE given (none: any query); several\n"
    "                         lines for one key add alternative sets\n";

namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what);
}

void put32(std::string& out, uint32_t v)
{
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

template <class T>
void sort_unique(std::vector<T>& v)
{
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

void append_bytes(std::string& out, const unsigned char* p, size_t n)
{
    out.append(reinterpret_cast<const char*>(p), n);
}

}  // namespace

uwl_key_bytes uwl_url_key(const std::string& url)
{
    // The daemon's own parser splits the text, so a key hashes exactly what
    // a request URL of that host and path would.
    ParsedUrl parsed;
    parse_url(parsed, url.c_str(), url.size());
    const size_t host_end = std::min(url.find('/'), url.size());
    if (parsed.m_host.empty())
        fail("empty host in \"" + url + "\"");
    // A user part, a port or a query never reaches a key: such a key would
    // match nothing.
    if (parsed.m_host_start != 0 || parsed.m_hostname_length != host_end || url.find('?') != std::string::npos)
        fail("not a plain HOST[/PATH] in \"" + url + "\"");
    if (parsed.m_resource > 0xffff)
        fail("path longer than 65535 bytes in \"" + url + "\"");

    uwl_md5 md5;
    unsigned level;
    if (parsed.m_ip_type == url_ip_v4) {
        level = uwl_level_ipv4;
        md5.update(parsed.m_address, 4);
    } else if (parsed.m_ip_type == url_ip_v6) {
        level = uwl_level_ipv6;
        md5.update(parsed.m_address, 16);
    } else {
        if (parsed.label_count() > uwl_level_max_labels)
            fail("more than 253 labels in \"" + url + "\"");
        level = static_cast<unsigned>(parsed.label_count());
        md5.update(parsed.m_host.data(), parsed.m_host.size());
    }
    md5.update(url.data() + parsed.m_path_start, parsed.m_resource);
    unsigned char digest[uwl_digest_size];
    md5.digest(digest);
    uwl_key_bytes key;
    uwl_key_encode(key.data(), level, static_cast<unsigned>(parsed.m_resource), digest);
    return key;
}

void uwl_source_line(uwl_source& source, const std::string& line)
{
    std::istringstream in(line);
    std::string word;
    if (!(in >> word) || word[0] == '#')
        return;
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (!rest.empty() && rest.back() == '\r')
        rest.pop_back();

    if (word == "type") {
        if (rest.empty())
            fail("type needs a name");
        source.type = rest;
    } else if (word == "pattern") {
        if (rest.empty())
            fail("empty pattern");
        source.patterns.push_back(rest);
    } else if (word == "ipv4") {
        std::array<unsigned char, 4> a;
        if (inet_pton(AF_INET, rest.c_str(), a.data()) != 1)
            fail("bad IPv4 address \"" + rest + "\"");
        source.ipv4.push_back(a);
    } else if (word == "ipv6") {
        std::array<unsigned char, 16> a;
        if (inet_pton(AF_INET6, rest.c_str(), a.data()) != 1)
            fail("bad IPv6 address \"" + rest + "\"");
        source.ipv6.push_back(a);
    } else if (word == "url") {
        if (rest.empty() || rest.find_first_of(" \t") != std::string::npos)
            fail("url needs one HOST[/PATH]");
        source.keys.push_back(uwl_url_key(rest));
    } else if (word == "params") {
        std::istringstream words(rest);
        std::string url;
        if (!(words >> url))
            fail("params needs HOST[/PATH]");
        std::vector<std::string> set;
        for (std::string param; words >> param;) {
            // The query is split at "&", so no parameter of a URL holds one.
            if (param.find('&') != std::string::npos)
                fail("parameter \"" + param + "\" holds \"&\"");
            set.push_back(param);
        }
        if (set.size() > 255)
            fail("more than 255 parameters in one set");
        source.param_keys[uwl_url_key(url)].push_back(set);
    } else {
        fail("unknown statement \"" + word + "\"");
    }
}

std::string uwl_layout(const uwl_source& source, size_t entries)
{
    if (source.type.empty())
        fail("the source has no type");
    if (entries < 1 || entries > uwl_section_count + 1)
        fail("bad number of section table entries");

    std::string sections[uwl_section_count];
    // Section 0 holds the parameter-set lists, section 5 their records.
    for (const auto& [key, sets] : source.param_keys) {
        append_bytes(sections[uwl_param_keys], key.data(), key.size());
        put32(sections[uwl_param_keys], static_cast<uint32_t>(sections[uwl_param_sets].size()));
        put32(sections[uwl_param_keys], static_cast<uint32_t>(sets.size()));
        for (const std::vector<std::string>& set : sets) {
            sections[uwl_param_sets].push_back(static_cast<char>(set.size()));
            for (const std::string& param : set) {
                unsigned char d[uwl_digest_size];
                uwl_md5::once(param.data(), param.size(), d);
                append_bytes(sections[uwl_param_sets], d, sizeof d);
            }
        }
    }
    std::vector<std::string> patterns = source.patterns;
    sort_unique(patterns);
    for (const std::string& p : patterns)
        sections[uwl_patterns].append(p.c_str(), p.size() + 1);
    auto ipv4 = source.ipv4;
    sort_unique(ipv4);
    for (const auto& a : ipv4)
        append_bytes(sections[uwl_ipv4], a.data(), a.size());
    std::vector<std::array<unsigned char, uwl_digest_size>> ipv6;
    for (const auto& a : source.ipv6) {
        ipv6.emplace_back();
        uwl_md5::once(a.data(), a.size(), ipv6.back().data());
    }
    sort_unique(ipv6);
    for (const auto& d : ipv6)
        append_bytes(sections[uwl_ipv6], d.data(), d.size());
    auto keys = source.keys;
    std::sort(keys.begin(), keys.end(), uwl_key_less());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (const auto& k : keys)
        append_bytes(sections[uwl_keys], k.data(), k.size());

    std::string out(reinterpret_cast<const char*>(uwl_magic), sizeof uwl_magic);
    put32(out, static_cast<uint32_t>(entries));
    const size_t header = out.size() + 4 * entries + uwl_gap_size + source.type.size() + 1;
    size_t offset = header;
    for (size_t k = 0; k < entries; ++k) {
        put32(out, static_cast<uint32_t>(offset));
        if (k < uwl_section_count)
            offset += sections[k].size();
    }
    out.append(uwl_gap_size, '\0');
    out.append(source.type.c_str(), source.type.size() + 1);
    for (const std::string& s : sections)
        out += s;
    return out;
}

namespace {

struct pkey_free { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct ctx_free { void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); } };
struct sig_free { void operator()(DSA_SIG* s) const { DSA_SIG_free(s); } };

std::unique_ptr<EVP_PKEY, pkey_free> read_private_key(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        fail("cannot open private key " + path);
    std::unique_ptr<EVP_PKEY, pkey_free> key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_DSA)
        fail("no DSA private key in " + path);
    return key;
}

}  // namespace

std::string uwl_sign(const std::string& body, const std::string& key_path)
{
    const auto key = read_private_key(key_path);
    unsigned char number[uwl_signed_number_size];
    uwl_signed_number(reinterpret_cast<const unsigned char*>(body.data()), body.size(), number);

    std::unique_ptr<EVP_PKEY_CTX, ctx_free> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    size_t der_length = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1
        || EVP_PKEY_sign(ctx.get(), nullptr, &der_length, number, sizeof number) != 1)
        fail("cannot sign with " + key_path);
    std::vector<unsigned char> der(der_length);
    if (EVP_PKEY_sign(ctx.get(), der.data(), &der_length, number, sizeof number) != 1)
        fail("cannot sign with " + key_path);
    const unsigned char* p = der.data();
    std::unique_ptr<DSA_SIG, sig_free> sig(d2i_DSA_SIG(nullptr, &p, static_cast<long>(der_length)));
    if (!sig)
        fail("unreadable signature");
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    DSA_SIG_get0(sig.get(), &r, &s);
    unsigned char tail[uwl_signature_size];
    const int half = uwl_signature_size / 2;
    if (BN_bn2lebinpad(r, tail, half) != half || BN_bn2lebinpad(s, tail + half, half) != half)
        fail("signature does not fit 40 bytes: the key's q must have 160 bits");
    std::string out = body;
    append_bytes(out, tail, sizeof tail);
    return out;
}
