// The manual page and the sample configuration document exactly the keys
// of the settings table; a key added to the table fails here until both
// describe it.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <strings.h>

#include "settings/settings_table.h"

namespace {

struct nocase_less {
    bool operator()(const std::string& a, const std::string& b) const
    {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};
using key_set = std::set<std::string, nocase_less>;

key_set table_keys()
{
    icapd_config cfg;
    param_registry registry;
    register_settings(registry, cfg);
    const auto names = registry.names();
    return key_set(names.begin(), names.end());
}

// Keys matched by the first group of `line_pattern` in the file.
key_set keys_in(const std::string& path, const std::regex& line_pattern)
{
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    key_set keys;
    std::smatch match;
    for (std::string line; std::getline(in, line);)
        if (std::regex_match(line, match, line_pattern))
            keys.insert(match[1]);
    return keys;
}

void expect_same_keys(const key_set& documented, const std::string& file, const std::string& how)
{
    const key_set table = table_keys();
    for (const std::string& key : table)
        EXPECT_TRUE(documented.count(key))
            << "key " << key << " is in the settings table but not in " << file << ": " << how;
    for (const std::string& key : documented)
        EXPECT_TRUE(table.count(key))
            << file << " documents " << key << ", which the settings table does not have";
}

TEST(key_docs, manual_page_lists_every_key)
{
    const std::string file = "man/vorex-icapd.ini.5";
    expect_same_keys(keys_in(VRX_SOURCE_DIR "/" + file, std::regex(R"(\.It Cm ([A-Za-z]+) .*)")),
                     file, "add an \".It Cm KEY Ar TYPE\" entry to its KEYS list");
}

TEST(key_docs, sample_configuration_lists_every_key)
{
    const std::string file = "conf/vorex-icapd.ini";
    expect_same_keys(keys_in(VRX_SOURCE_DIR "/" + file, std::regex(R"(#? ?([A-Z][A-Za-z]+) = .*)")),
                     file, "add \"KEY = DEFAULT\" (commented out when it has no default) to it");
}

}  // namespace
