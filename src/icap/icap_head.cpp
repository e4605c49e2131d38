#include "icap/icap_head.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <strings.h>
#include <unistd.h>
#include <vector>

#include "base/log.h"
#include "base/socket_io.h"
#include "icap/reply_writer.h"
#include "icap/request_deadline.h"
#include "scan/engine_version.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"

namespace {

constexpr int version_major = 6;
constexpr int version_minor = 0;

// White space as the C locale's isspace sees it.
bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The first whitespace-separated word of a line, empty when it has none.
std::string_view first_word(const char* text) {
    while (*text && is_blank(*text))
        ++text;
    const char* start = text;
    while (*text && !is_blank(*text))
        ++text;
    return std::string_view(start, static_cast<size_t>(text - start));
}

// Whitespace-separated words of a line, at most `limit` of them.
std::vector<std::string> split_words(const char* text, size_t limit) {
    std::vector<std::string> words;
    for (std::string_view word = first_word(text); !word.empty() && words.size() < limit;
         word = first_word(word.data() + word.size()))
        words.emplace_back(word);
    return words;
}

// strtol with base prefixes; false when no integer can be read.
bool read_integer(const char* text, long* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtol(text, &end, 0);
    return end != text && errno == 0;
}

// A decimal number and nothing else but blanks; false otherwise.
bool read_decimal(const char* text, long* value) {
    while (*text == ' ' || *text == '\t')
        ++text;
    if (*text < '0' || *text > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    *value = strtol(text, &end, 10);
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        ++end;
    return *end == '\0' && errno == 0;
}

// Decimal digits up to the first non-digit, saturating.
uint64_t read_offset(const char* text) {
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        unsigned digit = static_cast<unsigned>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

// A valid request has at most four Encapsulated items; more than this many
// is refused before a record is made for them.
constexpr size_t encapsulated_items_max = 8;

// One Encapsulated value: 200, 0 for an unknown item, 400 for too many
// items, 500 out of memory.
int parse_encapsulated(const char* value, const char* line) {
    static const struct {
        const char* key;
        const char* name;
    } items[] = {
        {"req-hdr=", "req-hdr"},   {"res-hdr=", "res-hdr"},   {"req-body=", "req-body"},
        {"res-body=", "res-body"}, {"opt-body=", "opt-body"}, {"null-body=", "null-body"},
    };
    std::vector<std::string> words = split_words(value, encapsulated_items_max + 1);
    if (words.size() > encapsulated_items_max) {
        vrx_log(log_level::error, "too many entities in header %s\n", line);
        return 400;
    }
    for (const std::string& word : words) {
        bool known = false;
        for (const auto& item : items) {
            const char* at = strstr(word.c_str(), item.key);
            if (!at)
                continue;
            if (icap_append_entity(g_request, item.name, read_offset(at + strlen(item.key))) != 200)
                return 500;
            known = true;
            break;
        }
        if (!known) {
            vrx_log(log_level::error, "unrecognize entity type %s in header %s\n", word.c_str(), line);
            return 0;
        }
    }
    return 200;
}

// One header line: 1 to go on, or the head reader's result.
// `encapsulated_seen` tells whether the head had an Encapsulated header.
int parse_header_line(const char* line, bool& encapsulated_seen) {
    std::string_view name = first_word(line);
    const char* value = name.data() + name.size();
    if (name == "Preview:") {
        // A preview outside 0..INT32_MAX cannot be honoured: bad request.
        long preview = 0;
        if (!read_decimal(value, &preview) || preview < 0 || preview > INT32_MAX) {
            vrx_log(log_level::error, "error in parse icap header %s\n", line);
            return 400;
        }
        g_request.preview = static_cast<int32_t>(preview);
    } else if (name == "Allow:") {
        long allow = 0;
        g_request.allow_204 = read_integer(value, &allow) && allow == 204 ? 1 : 0;
        g_request.allow_trailers = find_nocase(value, "trailers") != nullptr;
    } else if (name == "Connection:") {
        std::string_view option = first_word(value);
        if (option.size() == 5 && strncasecmp(option.data(), "close", 5) == 0)
            g_request.close_requested = true;
    } else if (name == "X-Client-IP:") {
        g_request.client_ip = std::string(first_word(value));
    } else if (name == "X-Client-Username:") {
        g_request.username = std::string(first_word(value));
    } else if (name == "Encapsulated:") {
        // One head frames one message; a second Encapsulated header is a
        // malformed request, and refusing it bounds what a head can cost.
        if (encapsulated_seen) {
            vrx_log(log_level::error, "second Encapsulated header %s\n", line);
            return 400;
        }
        encapsulated_seen = true;
        int result = parse_encapsulated(value, line);
        if (result != 200)
            return result;
    }
    return 1;
}

// A line that filled the buffer without its newline: its tail would be
// read as a line of its own.
bool line_cut(const char* line, int64_t n, size_t size) {
    return static_cast<size_t>(n) >= size - 1 && line[n - 1] != '\n';
}

}  // namespace

int icap_append_entity(request_state& state, const char* name, uint64_t offset) {
    try {
        state.entities.emplace_back(std::string(name).substr(0, entity_name_max - 1), offset);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 200;
}

int icap_read_head(int* fd) {
    body_deadline_stop();
    request_alarm_arm();
    char line[icap_line_max];
    int64_t n = readline(fd, line, sizeof line, "icap header -");
    if (n < 0)
        return 0;
    if (n == 0)
        return 1;
    if (line_cut(line, n, sizeof line)) {
        vrx_log(log_level::error, "ICAP request line too long\n");
        return 400;
    }

    std::vector<std::string> words = split_words(line, 3);
    if (words.size() < 3 ||
        (words[0] != "RESPMOD" && words[0] != "REQMOD" && words[0] != "OPTIONS") ||
        strcasecmp(words[2].c_str(), "ICAP/1.0") != 0) {
        vrx_log(log_level::error, "wrong ICAP request '%s'\n", line);
        return 400;
    }
    try {
        g_request.method = std::move(words[0]);
        g_request.uri = std::move(words[1]);
        g_request.version = std::move(words[2]);
        bool encapsulated_seen = false;
        for (;;) {
            n = readline(fd, line, sizeof line);
            if (n < 0)
                return 0;
            if (n == 0 || first_word(line).empty())
                return 1;
            if (line_cut(line, n, sizeof line)) {
                vrx_log(log_level::error, "ICAP header line too long\n");
                return 400;
            }
            vrx_log(log_level::headers, "icap header - %s\n", line);
            int result = parse_header_line(line, encapsulated_seen);
            if (result != 1)
                return result;
        }
    } catch (const std::bad_alloc&) {
        return 500;
    }
}

std::string istag_text() {
    char text[128];
    snprintf(text, sizeof text, "\r\nISTAG: \"vorex-icapd%i.%i=%lu\"\r\n\r\n", version_major,
             version_minor, engine_version_number());
    return text;
}

void send_error_msg(int* fd, int code) {
    if (*fd < 0)
        return;
    char head[256];
    snprintf(head, sizeof head, "ICAP/1.0 %i %s\r\nEncapsulated: null-body=0%s", code == 400 ? 400 : 200,
             code == 400 ? "Bad Request" : "OK", g_config.keep_alive ? "" : "\r\nConnection: close");
    std::string reply = head + istag_text();
    if (!write_reply(fd, reply.data(), reply.size()))
        vrx_log(log_level::error, "Error in send_error_msg()\n");
    else
        g_request.outcome.status = code == 400 ? 400 : 200;
    vrx_log(log_level::debug, "Return error \n%s\n", reply.c_str());
}

int send_options(int* fd) {
    request_alarm_disarm();
    char head[256];
    snprintf(head, sizeof head,
             "ICAP/1.0 200 OK\r\nMethods: RESPMOD, OPTIONS, REQMOD\r\nX-Include: X-Client-IP\r\n"
             "X-Allow-Out: X-Infection-Found, X-Virus-ID, X-Violations-Found\r\n"
             "Service: Vorex (R) icapd %i.%i\r\n",
             version_major, version_minor);
    std::string reply = head;
    if (!g_config.keep_alive)
        reply += "Connection: close\r\n";
    if (g_config.use_preview)
        reply += "Allow: 204\r\nPreview: 0\r\nTransfer-Preview: *\r\nOptions-TTL: 3600\r\nEncapsulated: null-body=0";
    else
        reply += "Options-TTL: 3600\r\nEncapsulated: null-body=0";
    reply += istag_text();
    if (!write_reply(fd, reply.data(), reply.size()))
        return 0;
    g_request.outcome.status = 200;
    vrx_log(log_level::debug, "Send options \n%s\n", reply.c_str());
    return 200;
}
