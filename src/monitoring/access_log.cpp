#include "monitoring/access_log.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

int g_access_log_fd = -1;

void append_escaped(std::string& line, const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    if (text.empty()) {
        line += '-';
        return;
    }
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || c == '%') {
            line += '%';
            line += hex[byte >> 4];
            line += hex[byte & 0x0f];
        } else {
            line += c;
        }
    }
}

// ISO 8601 local time with milliseconds and the offset: 2026-12-10T05:04:07.123+01:00
void append_time(std::string& line, int64_t time_ms) {
    time_t seconds = static_cast<time_t>(time_ms / 1000);
    struct tm local;
    localtime_r(&seconds, &local);
    char stamp[64];
    size_t n = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    n += static_cast<size_t>(snprintf(stamp + n, sizeof stamp - n, ".%03d", static_cast<int>(time_ms % 1000)));
    char zone[8];
    if (strftime(zone, sizeof zone, "%z", &local) == 5)
        n += static_cast<size_t>(snprintf(stamp + n, sizeof stamp - n, "%.3s:%.2s", zone, zone + 3));
    line.append(stamp, n);
}

void append_number(std::string& line, unsigned long long value) {
    line += ' ';
    line += std::to_string(value);
}

long long milliseconds(double seconds) { return std::llround(seconds * 1000); }

}  // namespace

void access_log_open(const std::string& path) {
    if (g_access_log_fd >= 0)
        close(g_access_log_fd);
    g_access_log_fd = -1;
    if (path.empty())
        return;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0)
        throw std::runtime_error("failed to open access log [" + path + "]: " + strerror(errno));
    g_access_log_fd = fd;
}

bool access_log_enabled() { return g_access_log_fd >= 0; }

void access_log_give_to(uid_t uid, gid_t gid) {
    if (g_access_log_fd >= 0 && fchown(g_access_log_fd, uid, gid) != 0 && errno != EPERM)
        throw std::runtime_error(std::string("failed to change the owner of the access log: ") + strerror(errno));
}

std::string access_log_line(const access_log_entry& entry) {
    std::string line;
    line.reserve(160 + entry.url.size());
    append_time(line, entry.time_ms);
    for (const std::string* text : {&entry.client, &entry.method, &entry.service}) {
        line += ' ';
        append_escaped(line, *text);
    }
    line += ' ';
    if (entry.status > 0)
        line += std::to_string(entry.status);
    else
        line += '-';
    line += ' ';
    append_escaped(line, entry.url);
    append_number(line, entry.bytes_received);
    append_number(line, entry.bytes_sent);
    for (const std::string* text : {&entry.decision, &entry.threats}) {
        line += ' ';
        append_escaped(line, *text);
    }
    append_number(line, static_cast<unsigned long long>(milliseconds(entry.scan_seconds)));
    append_number(line, static_cast<unsigned long long>(milliseconds(entry.total_seconds)));
    line += '\n';
    return line;
}

void access_log_write(const access_log_entry& entry) {
    if (g_access_log_fd < 0)
        return;
    std::string line = access_log_line(entry);
    // One write: O_APPEND places the whole line at the end of the file.
    ssize_t n;
    do {
        n = write(g_access_log_fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
}
