#include "settings/address_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "conf_parser/cf_values.h"
#include "base/log.h"

namespace {

void add_entry(daemon_address_list& dest, int32_t type, const std::string& serv,
               const std::string& host)
{
    DaemonAddress address;
    address.type = type;
    address.serv = serv;
    address.host = host;
    dest.push_back(address);
    vrx_log(log_level::debug, "Type %i serv \"%s\" host %s\n", type, serv.c_str(), host.c_str());
}

// True when `type` is a leading part of `word`, letter case ignored.
bool type_is(const std::string& type, const char* word)
{
    return type.size() <= std::strlen(word) &&
           strncasecmp(type.c_str(), word, type.size()) == 0;
}

bool parse_address(const std::string& address, daemon_address_list& dest)
{
    const std::string::size_type colon = address.find(':');
    if (colon == std::string::npos) {
        vrx_log(log_level::error, "Error in address %s - absent ':'\n", address.c_str());
        return false;
    }
    const std::string type = address.substr(0, colon);
    const std::string rest = address.substr(colon + 1);
    if (type_is(type, "inet")) {
        const std::string::size_type at = rest.find('@');
        if (at == std::string::npos) {
            vrx_log(log_level::error, "Error in address %s - absent '@'\n",
                    address.c_str() + colon);
            return false;
        }
        add_entry(dest, DAEMON_ADDR_INET, rest.substr(0, at), rest.substr(at + 1));
        return true;
    }
    if (type_is(type, "local")) {
        add_entry(dest, DAEMON_ADDR_LOCAL, "", rest);
        return true;
    }
    if (type_is(type, "pid"))
        return parse_pid_file(rest, dest);
    vrx_log(log_level::error, "Error in address %s\n", address.c_str());
    return false;
}

// Reads one line without its line end; false at the end of the file or on
// an error. Lines of any length are read whole.
bool read_line(FILE* file, std::string& line)
{
    line.clear();
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, file)) {
        line += buffer;
        if (!line.empty() && line.back() == '\n')
            break;
    }
    if (line.empty())
        return false;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return true;
}

// A pid file that is no regular file is refused (see open_regular_file).
FILE* open_pid_file(const std::string& path)
{
    struct stat st;
    const int fd = open_regular_file(path, st);
    if (fd < 0)
        return nullptr;
    FILE* file = fdopen(fd, "r");
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

}  // namespace

bool parse_address_list(const std::string& text, daemon_address_list& dest)
{
    static const char blanks[] = " \t\r\n\v\f";
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string piece = text.substr(start, end - start);
        const std::string::size_type word = piece.find_first_not_of(blanks);
        if (word == std::string::npos)
            return true;
        const std::string::size_type word_end = piece.find_first_of(blanks, word);
        if (!parse_address(piece.substr(word, word_end - word), dest))
            return false;
        if (end == text.size())
            return true;
        start = end + 1;
    }
}

bool parse_pid_file(const std::string& path, daemon_address_list& dest)
{
    vrx_log(log_level::debug, "Parsing vorexd pid file: %s\n", path.c_str());
    FILE* file = open_pid_file(path);
    if (!file) {
        vrx_log(log_level::error, "Error opening pid file %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::string line;
    if (!read_line(file, line)) {
        vrx_log(log_level::error, "PidFile: error while reading first line: %s\n", path.c_str());
        std::fclose(file);
        return false;
    }
    vrx_log(log_level::wire, "PidFile: skip first line: \"%s\"\n", line.c_str());
    while (read_line(file, line)) {
        vrx_log(log_level::wire, "PidFile: parsing line: \"%s\"\n", line.c_str());
        if (line.empty())
            continue;
        const std::string::size_type colon = line.find(':');
        if (colon == std::string::npos)
            add_entry(dest, DAEMON_ADDR_LOCAL, "", line);
        else
            add_entry(dest, DAEMON_ADDR_INET, line.substr(colon + 1), line.substr(0, colon));
    }
    std::fclose(file);
    return true;
}
