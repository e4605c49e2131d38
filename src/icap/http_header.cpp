#include "icap/http_header.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/log.h"
#include "request/request_state.h"

namespace {

constexpr size_t length_text_max = icap_line_max - 1;

// Position of the first line of `header` that starts with `name`, case
// ignored; npos when there is none.
size_t find_header_line(const std::string& header, const char* name) {
    size_t name_length = strlen(name);
    for (size_t line = 0; line < header.size();) {
        if (strncasecmp(header.c_str() + line, name, name_length) == 0)
            return line;
        line = header.find('\n', line);
        if (line == std::string::npos)
            break;
        ++line;
    }
    return std::string::npos;
}

bool starts_nocase(const std::string& text, const char* prefix) {
    return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

}  // namespace

int find_header(const std::string& header, const char* name, std::string& value) {
    size_t line = find_header_line(header, name);
    if (line == std::string::npos)
        return 0;
    size_t start = header.find_first_not_of(' ', line + strlen(name));
    if (start == std::string::npos)
        start = header.size();
    size_t end = header.find_first_of("\r\n", start);
    value = header.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return 1;
}

std::string request_url(const std::string& header) {
    std::string url;
    bool has_host = find_header(header, "host:", url) || find_header(header, "referer:", url);
    // Only the first line can be the request line: a later header line
    // never replaces the URL. An absolute target (or CONNECT's authority)
    // is the URL whatever Host says, so that no method and no lying Host
    // lets a request pass the list checks.
    std::string line = header.substr(0, header.find_first_of("\r\n"));
    size_t method_end = line.find_first_of(" \t");
    if (method_end != std::string::npos) {
        std::string method = line.substr(0, method_end);
        size_t start = line.find_first_not_of(" \t", method_end);
        std::string target;
        if (start != std::string::npos)
            target = line.substr(start, line.find_first_of(" \t", start) - start);
        if (starts_nocase(target, "http://") || starts_nocase(target, "https://") ||
            (strcasecmp(method.c_str(), "connect") == 0 && !target.empty())) {
            url = target;
        } else if (has_host && !target.empty()) {
            size_t host_end = url.find_last_not_of('/');
            url.erase(host_end == std::string::npos ? 0 : host_end + 1);
            size_t path_start = target.find_first_not_of('/');
            url += '/';
            if (path_start != std::string::npos)
                url += target.substr(path_start);
        }
    }
    return url.substr(0, url_max - 1);
}

int64_t real_content_length(const std::string& header) {
    std::string value;
    std::string text;
    if (find_header(header, "content-range:", value) && value.find('/') != std::string::npos)
        text = value.substr(value.rfind('/') + 1);
    else if (find_header(header, "content-length:", value))
        text = value;
    else
        return -1;
    text = text.substr(0, length_text_max);
    errno = 0;
    char* end = nullptr;
    long long length = strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) {
        vrx_log(log_level::error, "get_real_content_length: error in parse int in: %s\n", text.c_str());
        return -1;
    }
    if (errno == ERANGE || length < 0) {
        vrx_log(log_level::error, "get_real_content_length: overflow in parse length of body: %s\n",
                text.c_str());
        return INT64_MAX;
    }
    return length;
}

void replace_content_length(std::string& header, uint64_t size) {
    static const char name[] = "content-length:";
    size_t line = find_header_line(header, name);
    if (line == std::string::npos)
        return;
    size_t start = line + sizeof name - 1;
    size_t end = header.find_first_of("\r\n", start);
    header.replace(start, end == std::string::npos ? std::string::npos : end - start,
                   " " + std::to_string(size));
}

std::string header_safe(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7f)
            c = ' ';
    }
    return out;
}
