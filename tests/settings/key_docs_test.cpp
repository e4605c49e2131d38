// The manual page and the sample configuration document exactly the keys
// of the settings table, with the table's types, defaults, scopes and
// descriptions; a key added or changed in the table fails here until both
// describe it.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <strings.h>
#include <vector>

#include "settings/setting_keys.h"
#include "settings/settings_table.h"
#include "uwl_files/uwl_files.h"

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

// Beyond the names: each key's type, default, scope and description.

std::vector<std::string> lines_of(const std::string& path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A man page line as read: quotes, dashes and font changes resolved.
std::string rendered(std::string line)
{
    const std::pair<const char*, const char*> escapes[] = {
        {"\\(lq", "\""}, {"\\(rq", "\""}, {"\\-", "-"}, {"\\&", ""},
        {"\\fB", ""},    {"\\fI", ""},    {"\\fR", ""}, {"\\fP", ""},
    };
    for (const auto& escape : escapes)
        for (size_t at; (at = line.find(escape.first)) != std::string::npos;)
            line.replace(at, std::strlen(escape.first), escape.second);
    return line;
}

// The default as the man page and the sample write it.
std::string documented_default(const setting_key& key)
{
    if (!key.default_value)
        return key.type == key_type::list ? "empty" : "none";
    if (!*key.default_value)
        return "empty";
    return std::string("\"") + key.default_value + "\"";
}

bool man_type_fits(const std::string& man_type, key_type type)
{
    switch (type) {
    case key_type::text:
        return man_type == "text" || man_type == "path" || man_type == "directory" || man_type == "action" ||
               man_type == "address";
    case key_type::boolean:
        return man_type == "bool";
    case key_type::integer:
        return man_type == "integer";
    case key_type::size:
        return man_type == "size";
    case key_type::list:
        return man_type == "list";
    }
    return false;
}

TEST(key_docs, manual_page_entries_follow_the_table)
{
    const std::vector<std::string> lines = lines_of(VRX_SOURCE_DIR "/man/vorex-icapd.ini.5");
    const std::regex entry(R"(\.It Cm ([A-Za-z]+) Ar ([a-z]+))");
    const std::regex default_line(R"(Default: (.*?)( \(.*\))?\.)");
    const std::vector<setting_key>& keys = setting_keys();
    size_t next = 0;
    std::smatch match;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!std::regex_match(lines[i], match, entry))
            continue;
        ASSERT_LT(next, keys.size()) << "man page entry " << match[1] << " after the last key";
        const setting_key& key = keys[next++];
        SCOPED_TRACE(key.name);
        ASSERT_EQ(match[1], key.name) << "man page entries are in table order";
        EXPECT_TRUE(man_type_fits(match[2], key.type)) << "type " << match[2];
        ASSERT_LT(i + 3, lines.size());
        const std::string default_text = rendered(lines[i + 1]);
        EXPECT_TRUE(std::regex_match(default_text, match, default_line)) << default_text;
        EXPECT_EQ(match[1], documented_default(key));
        EXPECT_EQ(lines[i + 2], key.override_id == id::global_only ? "Global." : "Overridable in \\fBmatch\\fP sections.");
        EXPECT_EQ(rendered(lines[i + 3]), key.description);
    }
    EXPECT_EQ(next, keys.size());
}

// Key lines "KEY = VALUE", or "# KEY = VALUE" for an example.
const std::regex sample_key_line(R"((# ?)?([A-Z][A-Za-z]+) = (.*))");

// The comment lines right above line `at`, up to a blank, a section or a key line, joined by blanks.
std::string comment_above(const std::vector<std::string>& lines, size_t at)
{
    std::string text;
    while (at > 0 && lines[at - 1].rfind("#", 0) == 0 && !std::regex_match(lines[at - 1], sample_key_line)) {
        --at;
        const std::string line = lines[at].substr(lines[at].rfind("# ", 0) == 0 ? 2 : 1);
        text = text.empty() ? line : line + " " + text;
    }
    return text;
}

TEST(key_docs, sample_configuration_sets_each_default_below_its_description)
{
    const std::vector<std::string> lines = lines_of(VRX_SOURCE_DIR "/conf/vorex-icapd.ini");
    for (const setting_key& key : setting_keys()) {
        SCOPED_TRACE(key.name);
        // The first line of the key; the examples of match sections come later.
        size_t found = lines.size();
        std::smatch match;
        for (size_t i = 0; i < lines.size() && found == lines.size(); ++i)
            if (std::regex_match(lines[i], match, sample_key_line) && strcasecmp(match.str(2).c_str(), key.name) == 0)
                found = i;
        ASSERT_LT(found, lines.size()) << "not in the sample";
        EXPECT_EQ(match[2], key.name);
        const bool commented = match[1].matched;
        std::string value = match[3];
        // Keys without a default are shown by a commented example.
        EXPECT_EQ(commented, key.default_value == nullptr);
        if (key.default_value) {
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            EXPECT_EQ(value, key.default_value);
        }
        EXPECT_NE(comment_above(lines, found).find(key.description), std::string::npos)
            << "the comment above it: " << comment_above(lines, found);
    }
}

// The pages that list the category names of list files give the table's.
TEST(key_docs, manual_pages_name_every_url_category)
{
    std::string names;
    for (size_t i = 0; i < uwl_category_count; ++i)
        names += std::string(i == 0 ? "" : i + 1 == uwl_category_count ? " or " : ", ") + uwl_categories()[i].name;
    for (const char* file : {"man/vorex-icapd.ini.5", "man/uwl_build.1"}) {
        std::string text;
        for (const std::string& line : lines_of(VRX_SOURCE_DIR "/" + std::string(file)))
            text += line + " ";
        EXPECT_NE(text.find(names), std::string::npos) << file << " does not list: " << names;
    }
}

}  // namespace
