#include "monitoring/access_log.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include "base/log.h"

namespace {

int g_access_log_fd = -1;

// Held lines. A signal handler may write them at any moment, so a line is
// counted in g_held only once it is whole, and a flush blocks the signals
// whose handlers write (a line written twice or lost otherwise).
constexpr size_t held_limit = 4096;
char g_held_lines[held_limit];
volatile sig_atomic_t g_held = 0;
pid_t g_holder = 0;          // a forked child does not write its parent's lines
int64_t g_oldest_held_ms = 0;

int64_t monotonic_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Async-signal-safe; the caller keeps the writing handlers out.
void write_held() {
    size_t held = static_cast<size_t>(g_held);
    if (held == 0)
        return;
    if (g_access_log_fd >= 0 && g_holder == getpid())
        write_fully(g_access_log_fd, g_held_lines, held);
    g_held = 0;
}

void append_escaped(std::string& line, const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    if (text.empty()) {
        line += '-';
        return;
    }
    // Runs of plain bytes are appended whole.
    size_t plain_from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte > 0x20 && byte < 0x7f && byte != '%')
            continue;
        line.append(text, plain_from, i - plain_from);
        const char escaped[3] = {'%', hex[byte >> 4], hex[byte & 0x0f]};
        line.append(escaped, sizeof escaped);
        plain_from = i + 1;
    }
    line.append(text, plain_from, std::string::npos);
}

// ISO 8601 local time with milliseconds and the offset: 2026-12-10T05:04:07.123+01:00.
// Lines come many a second: the date, time and offset of the last second
// are kept, only the milliseconds are made per line.
void append_time(std::string& line, int64_t time_ms) {
    static time_t stamped_second = -1;
    static char stamp[32];
    static size_t stamp_length = 0;
    static char zone[8];
    static size_t zone_length = 0;
    time_t seconds = static_cast<time_t>(time_ms / 1000);
    if (seconds != stamped_second) {
        struct tm local;
        localtime_r(&seconds, &local);
        stamp_length = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
        char offset[8];
        zone_length = 0;
        if (strftime(offset, sizeof offset, "%z", &local) == 5)
            zone_length = static_cast<size_t>(snprintf(zone, sizeof zone, "%.3s:%.2s", offset, offset + 3));
        stamped_second = seconds;
    }
    int milliseconds = static_cast<int>(time_ms % 1000);
    const char fraction[4] = {'.', static_cast<char>('0' + milliseconds / 100),
                              static_cast<char>('0' + milliseconds / 10 % 10), static_cast<char>('0' + milliseconds % 10)};
    line.append(stamp, stamp_length);
    line.append(fraction, sizeof fraction);
    line.append(zone, zone_length);
}

void append_number(std::string& line, unsigned long long value) {
    line += ' ';
    line += std::to_string(value);
}

long long milliseconds(double seconds) { return std::llround(seconds * 1000); }

}  // namespace

void access_log_open(const std::string& path) {
    access_log_flush();   // lines of the old file go to it
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

namespace {

void append_line(std::string& line, const access_log_entry& entry) {
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
}

}  // namespace

std::string access_log_line(const access_log_entry& entry) {
    std::string line;
    append_line(line, entry);
    return line;
}

void access_log_write(const access_log_entry& entry) {
    if (g_access_log_fd < 0)
        return;
    // Made in the same buffer each time: no allocation per line.
    static std::string line;
    line.clear();
    append_line(line, entry);
    if (static_cast<size_t>(g_held) + line.size() > held_limit)
        access_log_flush();
    if (line.size() > held_limit) {
        write_fully(g_access_log_fd, line.data(), line.size());   // one write: O_APPEND keeps it whole
        return;
    }
    if (g_held == 0) {
        if (g_holder == 0)
            atexit(access_log_flush);
        g_holder = getpid();
        g_oldest_held_ms = monotonic_ms();
    }
    size_t held = static_cast<size_t>(g_held);
    memcpy(g_held_lines + held, line.data(), line.size());
    std::atomic_signal_fence(std::memory_order_release);
    g_held = static_cast<sig_atomic_t>(held + line.size());
    if (static_cast<size_t>(g_held) == held_limit || monotonic_ms() - g_oldest_held_ms >= 1000)
        access_log_flush();
}

void access_log_flush() {
    if (g_held == 0)
        return;
    sigset_t writers, before;
    sigemptyset(&writers);
    sigaddset(&writers, SIGTERM);
    sigaddset(&writers, SIGALRM);
    sigprocmask(SIG_BLOCK, &writers, &before);
    write_held();
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void access_log_flush_async() { write_held(); }
