#include "base/load_failure.h"
#include "base/log.h"
#include "filters/host_list.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/un.h>
#include <unistd.h>

namespace {

host_list hosts(std::initializer_list<host_entry> entries)
{
    return host_list(entries);
}

// A temporary folder for list files, removed with its files.
class list_files : public ::testing::Test {
protected:
    std::string write_file(const std::string& name, const std::string& content)
    {
        return folder_.write(name, content);
    }

    temp_folder folder_{"vrx_hosts"};
    const std::string& dir_ = folder_.path();
};

TEST(is_host_in_list, matches_decoded_text)
{
    const host_list list = hosts({{host_entry_host, "bad.example"},
                                  {host_entry_host, "two words"},
                                  {host_entry_host, "trailing "},
                                  {host_entry_ip_str, "10.1.2.3"}});
    const struct {
        const char* text;
        int expected;
    } cases[] = {
        {"http://bad.example/", 1},
        {"www.bad.example:8080/x", 1},
        {"good.example/search?q=bad.example", 1},  // anywhere in the URL
        {"good.example/%62ad%2Eexample", 1},       // escapes decoded
        {"good.example/?q=two+words", 1},          // "+" is a blank
        {"good.example/?q=two%20words", 1},
        {"good.example/?q=twowords", 0},
        {"good.example/trailing", 0},              // the blank is part of the entry
        {"good.example/trailing+x", 1},
        {"10.1.2.3/x", 1},                         // address entries are prefixes
        {"http://10.1.2.3/x", 0},
        {"good.example/10.1.2.3", 0},
        {"good.example/bad%00.example", 0},
        {"x%00bad.example", 1},                    // a zero byte hides nothing
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_host_in_list(c.text, list), c.expected) << c.text;
    EXPECT_EQ(is_host_in_list("bad.example", host_list()), 0);
}

TEST(is_host_in_list, long_text_is_cut_not_overrun)
{
    const host_list list = hosts({{host_entry_host, "needle"}});
    std::string text(9995, 'a');
    EXPECT_EQ(is_host_in_list(text + "needle", list), 0);  // past the 9999 bytes kept
    EXPECT_EQ(is_host_in_list(text.substr(0, 9993) + "needle", list), 1);
    EXPECT_EQ(is_host_in_list(std::string(100000, '%') + "needle", list), 0);
}

TEST(is_host_in_white_list, matches_host_not_substring)
{
    const host_list list = hosts({{host_entry_host, "trusted.example"},
                                  {host_entry_host, "files.example/public/"},
                                  {host_entry_host, "http://scheme.example"},
                                  {host_entry_ip_str, "10.1.2.3"},
                                  {host_entry_ip_str, "::1"}});
    const struct {
        const char* url;
        int expected;
    } cases[] = {
        {"trusted.example", 1},
        {"trusted.example/path?x=1", 1},
        {"http://TRUSTED.example:8080/", 1},
        {"https://www.trusted.example/a", 1},
        {"evil.example/?trusted.example", 0},
        {"evil.example/trusted.example", 0},
        {"trusted.example.evil.example/", 0},
        {"eviltrusted.example/", 0},
        {"http://trusted.example@evil.example/", 0},
        {"evil.example%2F.trusted.example/", 0},    // decoded before the host is taken
        {"files.example/public/a.zip", 1},
        {"http://files.example/public/a.zip", 1},
        {"FILES.example/public/a.zip", 1},
        {"files.example/private/a.zip", 0},
        {"files.example/PUBLIC/a.zip", 0},
        {"files.example.evil.example/public/", 0},
        {"scheme.example/x", 1},
        {"scheme.example.evil.example/", 0},
        {"10.1.2.3/x", 1},
        {"http://10.1.2.3:3128/x", 1},
        {"10.1.2.33/x", 0},
        {"http://[::1]:80/x", 1},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(is_host_in_white_list(c.url, list), c.expected) << c.url;
}

TEST_F(list_files, builds_by_mode)
{
    const std::string path = write_file(
        "hosts", "# comment\n; comment\n\n   \t\r\n10.0.0.1\n 10.0.0.2\r\nexample.invalid\nlast.example");
    host_list names_only;
    build_host_list({path}, names_only, host_list_mode::names_only);
    std::vector<std::string> texts;
    for (const host_entry& e : names_only) {
        EXPECT_EQ(e.type, host_entry_host);
        texts.push_back(e.text);
    }
    // Blanks and the carriage return stay part of the entry.
    EXPECT_EQ(texts, (std::vector<std::string>{"10.0.0.1", " 10.0.0.2\r", "example.invalid",
                                               "last.example"}));

    // Unresolvable names keep their host entry and the rest of the file is read.
    host_list both;
    build_host_list({write_file("both", "10.0.0.1\nexample.invalid\n::1\n")}, both,
                    host_list_mode::names_and_addresses);
    std::vector<std::pair<uint32_t, std::string>> entries;
    for (const host_entry& e : both)
        entries.emplace_back(e.type, e.text);
    EXPECT_EQ(entries, (std::vector<std::pair<uint32_t, std::string>>{
                           {host_entry_host, "10.0.0.1"},
                           {host_entry_ip_str, "10.0.0.1"},
                           {host_entry_host, "example.invalid"},
                           {host_entry_host, "::1"},
                           {host_entry_ip_str, "::1"}}));
}

TEST_F(list_files, files_add_up_and_long_lines_split)
{
    const std::string a = write_file("a", "one\n");
    const std::string b = write_file("b", std::string(9998, 'x') + "yz\n");
    host_list list;
    build_host_list({a, b}, list, host_list_mode::names_only);
    ASSERT_EQ(list.size(), 3u);
    auto it = list.begin();
    EXPECT_EQ(it->text, "one");
    EXPECT_TRUE((++it)->text == std::string(9998, 'x'));
    EXPECT_EQ((++it)->text, "yz");
}

TEST_F(list_files, unreadable_file_fails_the_load_with_status_1)
{
    const std::string missing = dir_ + "/missing";
    host_list list;
    try {
        build_host_list({missing}, list, host_list_mode::names_only);
        ADD_FAILURE() << "no failure";
    } catch (const load_failure& e) {
        EXPECT_EQ(e.status, 1);
        EXPECT_EQ(std::string(e.what()), "can not open file with hosts list '" + missing + "'");
    }
}

sockaddr_in ipv4(const char* text)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

sockaddr_in6 ipv6(const char* text)
{
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6_addr);
    return a;
}

int allowed(const sockaddr_in& a, const host_list& acl)
{
    return acl_client_allowed(reinterpret_cast<const sockaddr*>(&a), sizeof a, acl);
}

int allowed(const sockaddr_in6& a, const host_list& acl)
{
    return acl_client_allowed(reinterpret_cast<const sockaddr*>(&a), sizeof a, acl);
}

TEST_F(list_files, acl_admits_listed_addresses)
{
    host_list acl;
    build_host_list({write_file("acl", "localhost\n::1\n")}, acl, host_list_mode::addresses_only);
    ASSERT_FALSE(acl.empty());
    for (const host_entry& e : acl)
        EXPECT_EQ(e.type, host_entry_ip_str);

    EXPECT_EQ(allowed(ipv4("127.0.0.1"), acl), 1);
    EXPECT_EQ(allowed(ipv6("::1"), acl), 1);
    EXPECT_EQ(allowed(ipv6("::ffff:127.0.0.1"), acl), 1);
    EXPECT_EQ(allowed(ipv4("127.0.0.2"), acl), 0);
    EXPECT_EQ(allowed(ipv4("10.0.0.1"), acl), 0);
    EXPECT_EQ(allowed(ipv6("::2"), acl), 0);

    // A truncated or non-IP peer address is refused, without the "not in
    // acl" line, which names a peer that is not on the list.
    log_set_options(0xff, 8, 6);
    log_set_target(folder_.file("log"));
    const sockaddr_in v4 = ipv4("127.0.0.1");
    EXPECT_EQ(acl_client_allowed(reinterpret_cast<const sockaddr*>(&v4), 4, acl), 0);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    EXPECT_EQ(acl_client_allowed(reinterpret_cast<const sockaddr*>(&local), sizeof local, acl), 0);
    EXPECT_EQ(allowed(ipv4("10.0.0.1"), acl), 0);
    log_suspend();
    std::ifstream log_file(folder_.file("log"));
    const std::string log((std::istreambuf_iterator<char>(log_file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(log.find("Block ip ?"), std::string::npos) << log;
    EXPECT_NE(log.find("Block ip 10.0.0.1: not in acl\n"), std::string::npos) << log;
}

TEST(address_text, formats_both_families)
{
    const sockaddr_in v4 = ipv4("192.0.2.7");
    const sockaddr_in6 v6 = ipv6("2001:db8::1");
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    EXPECT_STREQ(address_text(reinterpret_cast<const sockaddr*>(&v4)), "192.0.2.7");
    EXPECT_STREQ(address_text(reinterpret_cast<const sockaddr*>(&v6)), "2001:db8::1");
    EXPECT_STREQ(address_text(reinterpret_cast<const sockaddr*>(&local)), "?");
}

}  // namespace
