// Address lists of scanning daemons and agents, and scanning-daemon pid files.

#include <gtest/gtest.h>

#include <string>

#include "settings/address_list.h"
#include "settings_test_util.h"

namespace {

// Entries as "type serv host" lines.
std::string entries(const daemon_address_list& list)
{
    std::string out;
    for (const DaemonAddress& a : list)
        out += std::to_string(a.type) + " " + a.serv + " " + a.host + "\n";
    return out;
}

TEST(settings_address_list, parses_types_and_their_abbreviations)
{
    const struct {
        const char* text;
        bool ok;
        const char* entries;
    } cases[] = {
        {"inet:3000@127.0.0.1", true, "1 3000 127.0.0.1\n"},
        {"INET:3000@127.0.0.1", true, "1 3000 127.0.0.1\n"},
        {"in:3000@127.0.0.1", true, "1 3000 127.0.0.1\n"},
        {":3000@h", true, "1 3000 h\n"},  // the empty type word is a leading part of inet
        {"inet:@", true, "1  \n"},
        {"inet:a@b@c", true, "1 a b@c\n"},
        {"local:/var/run/vorexd.sock", true, "2  /var/run/vorexd.sock\n"},
        {"LoC:/s", true, "2  /s\n"},
        {"l:/s", true, "2  /s\n"},
        {"  local:/a extra words, inet:1@h", true, "2  /a\n1 1 h\n"},
        {"", true, ""},
        {"local:/a,,local:/b", true, "2  /a\n"},  // an empty piece ends the list
        {"local:/a, \t ,local:/b", true, "2  /a\n"},
        {"local:/a,", true, "2  /a\n"},
        {"inet:3000", false, ""},
        {"local", false, ""},
        {"local:/a,inet3000@h,local:/b", false, "2  /a\n"},
        {"unix:/s", false, ""},
        {"inets:1@h", false, ""},
        {"locals:/s", false, ""},
    };
    for (const auto& c : cases) {
        daemon_address_list list;
        EXPECT_EQ(parse_address_list(c.text, list), c.ok) << c.text;
        EXPECT_EQ(entries(list), c.entries) << c.text;
    }
}

TEST(settings_address_list, pid_files)
{
    temp_dir dir;
    const std::string pid = dir.write("vorexd.pid", "4242\n/var/run/vorexd.sock\n127.0.0.1:3000\n");
    const std::string crlf = dir.write("crlf.pid", "1\r\n/s\r\n\r\nh:1\r\n");
    const std::string only_pid = dir.write("only.pid", "1");
    const std::string empty = dir.write("empty.pid", "");

    daemon_address_list list;
    EXPECT_TRUE(parse_address_list("pid:" + pid, list));
    EXPECT_EQ(entries(list), "2  /var/run/vorexd.sock\n1 3000 127.0.0.1\n");

    list.clear();
    EXPECT_TRUE(parse_address_list("p:" + crlf + ",local:/x", list));
    EXPECT_EQ(entries(list), "2  /s\n1 1 h\n2  /x\n");

    list.clear();
    EXPECT_TRUE(parse_pid_file(only_pid, list));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(parse_pid_file(empty, list));
    EXPECT_FALSE(parse_pid_file(dir.path() + "/missing.pid", list));
    // Neither a directory nor a device can be a pid file (/dev/zero would
    // never end).
    EXPECT_FALSE(parse_pid_file(dir.path(), list));
    EXPECT_FALSE(parse_address_list("pid:/dev/zero", list));
    EXPECT_TRUE(list.empty());
}

}  // namespace
