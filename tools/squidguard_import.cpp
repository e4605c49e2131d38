#include "squidguard_import.h"

#include <cctype>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace {

std::string trimmed_entry(const std::string& line)
{
    const size_t end = line.find('#');
    const std::string text = line.substr(0, end);
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Characters a request's host name can hold (an IPv6 literal has brackets,
// colons and hex digits, all of them here or checked by the key builder).
bool host_chars_ok(const std::string& host)
{
    for (unsigned char c : host)
        if (!(isalnum(c) || c == '.' || c == '-' || c == '_' || c == '[' || c == ']' || c == ':'))
            return false;
    return true;
}

// "www.", "www2.", "web.", "ftp3." ... at the start of a urls entry.
size_t mirror_prefix_length(const std::string& entry)
{
    for (const char* word : {"www", "web", "ftp"}) {
        const size_t n = std::char_traits<char>::length(word);
        if (entry.compare(0, n, word) != 0)
            continue;
        size_t i = n;
        while (i < entry.size() && isdigit(static_cast<unsigned char>(entry[i])))
            ++i;
        if (i < entry.size() && entry[i] == '.' && entry.find('.', i + 1) != std::string::npos)
            return i + 1;
    }
    return 0;
}

// The HOST[/PATH] text of one entry; throws the reason it cannot match.
std::string key_text(std::string entry, bool is_url)
{
    for (const char* scheme : {"http://", "https://"})
        if (entry.compare(0, std::char_traits<char>::length(scheme), scheme) == 0)
            entry.erase(0, std::char_traits<char>::length(scheme));
    if (entry.find_first_of(" \t") != std::string::npos)
        throw std::runtime_error("holds a blank");
    if (!entry.empty() && entry[0] == '.')
        entry.erase(0, 1);
    if (!is_url && entry.find('/') != std::string::npos)
        throw std::runtime_error("a domains entry holds a path");
    if (is_url)
        entry.erase(0, mirror_prefix_length(entry));
    if (!host_chars_ok(entry.substr(0, entry.find('/'))))
        throw std::runtime_error("the host holds characters no host name has");
    return entry;
}

bool import_file(uwl_source& source, const std::string& path, bool is_url,
                 std::vector<squidguard_skipped>& skipped)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT)
        return false;
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        const std::string entry = trimmed_entry(line);
        if (entry.empty())
            continue;
        try {
            source.keys.push_back(uwl_url_key(key_text(entry, is_url)));
        } catch (const std::exception& e) {
            skipped.push_back({path, number, entry, e.what()});
        }
    }
    if (in.bad())
        throw std::runtime_error("cannot read " + path);
    return true;
}

}  // namespace

void squidguard_import(uwl_source& source, const std::string& folder,
                       std::vector<squidguard_skipped>& skipped)
{
    const bool domains = import_file(source, folder + "/domains", false, skipped);
    const bool urls = import_file(source, folder + "/urls", true, skipped);
    if (!domains && !urls)
        throw std::runtime_error(folder + " holds neither a domains nor a urls file");
}
