// URL parsing and matching of one file: addresses, patterns, keys with
// their path-prefix walk, and parameter sets.

#include <cstring>

#include <gtest/gtest.h>

#include "uwl_files/parsed_url.h"
#include "uwl_files/uwl_match.h"
#include "uwl_fixture.h"

namespace {

std::string deep_host();

class uwl_match : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        file_ = new UwlFile;
        std::string type;
        uwl_source source = uwl_source_of({
            "type porno",
            "pattern CaSiNo",
            "ipv4 10.1.2.3",
            "ipv6 2001:db8::1",
            "url example.com",              // whole domain
            "url dir.org/a/",               // directory
            "url page.net/x/y.html",        // one page
            "url 192.168.0.1/admin",
            "url [2001:db8::7]/v6",
            "params shop.com/item id=5",
            "params shop.com/item a=1 b=2",
            "params any.org/",              // any query on any.org/
        });
        // Levels above 127 sort as negative bytes, before the address levels.
        uwl_source_line(source, "url " + deep_host());
        ASSERT_EQ(parse_bytes(*file_, uwl_signed(source), type), 1);
    }
    static void TearDownTestSuite() { delete file_; }

    static UwlFile* file_;
};

UwlFile* uwl_match::file_ = nullptr;

// A host of 130 labels.
std::string deep_host()
{
    std::string host = "deep";
    for (int i = 1; i < 130; ++i)
        host += ".l" + std::to_string(i);
    return host;
}

struct match_case {
    const char* url;          // decoded, without scheme
    const char* match_with;   // nullptr: no match
};

TEST_F(uwl_match, table_of_urls)
{
    const match_case cases[] = {
        // whole domain and its subdomains, any path
        {"example.com", "example.com"},
        {"www.example.com/any/page.html?q=1", "example.com"},
        {"WWW.Example.COM/", "example.com"},
        {"www.example.com:8080/x", "example.com"},
        {"user:pw@example.com/x", "example.com"},
        {"example.com?x=1", "example.com"},
        {"example.com#@other.org/", "example.com"},
        {"badexample.com/", nullptr},
        {"example.co/", nullptr},
        {"example.com.evil.org/", nullptr},
        // directory
        {"dir.org/a/", "dir.org/a/"},
        {"sub.dir.org/a/b/c", "dir.org/a/"},
        {"dir.org/a", nullptr},
        {"dir.org/ab", nullptr},
        {"dir.org/b/a/", nullptr},
        // single page
        {"page.net/x/y.html", "page.net/x/y.html"},
        {"page.net/x/y.html?p=1", "page.net/x/y.html"},
        {"page.net/x/y.htmlz", nullptr},
        {"page.net/x/", nullptr},
        // addresses
        {"10.1.2.3/anything", "10.1.2.3"},
        {"10.1.2.3:3128", "10.1.2.3"},
        {"10.1.2.4/", nullptr},
        {"[2001:db8::1]/x", "[2001:db8::1]"},
        {"[2001:db8:0::1]:443/", "[2001:db8:0::1]"},
        {"192.168.0.1:81/admin/users", "192.168.0.1/admin"},
        {"192.168.0.1/administrator", nullptr},
        {"192.168.0.1/x/admin", nullptr},
        {"[2001:db8::7]/v6/z", "[2001:db8::7]/v6"},
        // text pattern, any letter case, anywhere in the URL
        {"games.org/play/casino-royale", "CaSiNo"},
        {"CASINO.org/", "CaSiNo"},
        // parameter sets
        {"shop.com/item?x=1&id=5", "shop.com/item?x=1&id=5"},
        {"www.shop.com/item?id=5", "shop.com/item?id=5"},
        {"shop.com/item?b=2&z&a=1", "shop.com/item?b=2&z&a=1"},
        {"shop.com/item?id=6", nullptr},
        {"shop.com/item?a=1", nullptr},
        {"shop.com/item?ID=5", nullptr},
        {"shop.com/item", nullptr},
        {"shop.com/items?id=5", nullptr},
        {"any.org/?q", "any.org/?q"},
        {"any.org/", nullptr},
        {"any.org/?", nullptr},
        // degenerate hosts and paths
        {"", nullptr},
        {"/", nullptr},
        {"com", nullptr},
        {"..com/", nullptr},
        {"example.com./", "example.com"},
        {"a..example.com//x", "example.com"},
        {"dir.org/a//b", "dir.org/a/"},
        {"[::1", nullptr},
        {"::", nullptr},
        {"host:port:x/", nullptr},
    };
    for (const match_case& c : cases) {
        SCOPED_TRACE(c.url);
        ParsedUrl url;
        parse_url(url, c.url, std::strlen(c.url));
        std::string match_with = "unset";
        const bool matched = uwl_file_match(*file_, url, match_with);
        EXPECT_EQ(matched, c.match_with != nullptr);
        if (c.match_with) {
            EXPECT_EQ(match_with, c.match_with);
        }
    }
}

TEST_F(uwl_match, long_deep_and_zero_byte_urls)
{
    std::string long_path = "dir.org/a/" + std::string(10000, 'b');
    std::string long_host = std::string(5000, 'a') + std::string(3000, '.') + "example.com/x";
    std::string zero_host("10.1.2.3\0.x/", 12);
    std::string zero_path("dir.org/\0a/", 11);
    std::string deep = "www." + deep_host() + "/x";
    std::string shallow = deep_host().substr(5) + "/x";
    struct row {
        const std::string* url;
        bool matched;
    };
    for (const row& r : {row{&long_path, true}, row{&long_host, true}, row{&zero_host, false},
                         row{&zero_path, false}, row{&deep, true}, row{&shallow, false}}) {
        ParsedUrl url;
        parse_url(url, r.url->c_str(), r.url->size());
        std::string match_with;
        EXPECT_EQ(uwl_file_match(*file_, url, match_with), r.matched) << r.url->substr(0, 40);
    }
}

TEST(parsed_url, splits_host_path_and_parameters)
{
    const char text[] = "u@Sub.Host.org:8080/a/b?x=1&&y=2";
    ParsedUrl url;
    parse_url(url, text, sizeof text - 1);
    EXPECT_EQ(url.m_host, "sub.host.org");
    EXPECT_EQ(url.m_host_start, 2u);
    EXPECT_EQ(url.m_hostname_length, 12u);
    EXPECT_EQ(url.m_path_start, 19u);
    EXPECT_EQ(url.m_resource, 4u);
    EXPECT_EQ(url.m_params, "x=1&&y=2");
    EXPECT_EQ(url.m_param_digests.size(), 3u);   // the empty piece counts
    EXPECT_EQ(url.label_count(), 3u);
    EXPECT_EQ(url.m_ip_type, url_ip_none);
}

}  // namespace
