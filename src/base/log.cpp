#include "base/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr size_t line_max = 10000;
constexpr size_t prefix_max = 128;
constexpr unsigned warn_bit = 128;

int g_target = log_suspended;
uint32_t g_mask = 1;
int g_syslog_priority = 8 | 6;
bool g_extra_debug = false;

const char* level_word(unsigned level) {
    if (level == 0)
        return "ERROR";
    if (level & warn_bit)
        return "WARN";
    return (level & 1) ? "INFO" : "DEBUG";
}

// The target is open and LogLevel is not all ones; errors and warnings always
// pass, other levels need each of their bits enabled.
bool level_enabled(unsigned level) {
    return g_target != log_suspended && g_mask != 0xffffffffu && (level & ~warn_bit & ~g_mask) == 0;
}

// Local-time offset seen by the last ordinary message or load, for signal
// handlers.
volatile long g_utc_offset = 0;
// The second of the cached line prefix; -1 makes it again (a load may have
// brought another zone).
time_t g_prefix_second = -1;

void refresh_utc_offset() {
    g_prefix_second = -1;
    time_t now = time(nullptr);
    struct tm tm_now;
    if (localtime_r(&now, &tm_now))
        g_utc_offset = tm_now.tm_gmtoff;
}

// This process's pid, asked once and forgotten in a forked child.
pid_t g_own_pid = 0;

pid_t own_pid() {
    if (g_own_pid == 0) {
        static const bool forgotten_on_fork = pthread_atfork(nullptr, nullptr, [] { g_own_pid = 0; }) == 0;
        (void)forgotten_on_fork;
        g_own_pid = getpid();
    }
    return g_own_pid;
}

// "asctime-date vorex-icapd (pid): ". It changes once a second, so it is
// made again only when the second or the process has changed.
size_t make_prefix(char* out, size_t size) {
    static pid_t made_for = 0;
    static char prefix[prefix_max];
    static size_t prefix_length = 0;
    time_t now = time(nullptr);
    pid_t pid = own_pid();
    if (now != g_prefix_second || pid != made_for) {
        struct tm tm_now;
        char date[64] = "";
        if (localtime_r(&now, &tm_now) && asctime_r(&tm_now, date)) {
            g_utc_offset = tm_now.tm_gmtoff;
            size_t n = strlen(date);
            if (n && date[n - 1] == '\n')
                date[n - 1] = '\0';
        }
        int n = snprintf(prefix, sizeof prefix, "%s %s (%i): ", date, "vorex-icapd", static_cast<int>(pid));
        prefix_length = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof prefix - 1);
        g_prefix_second = now;
        made_for = pid;
    }
    size_t length = std::min(prefix_length, size - 1);
    memcpy(out, prefix, length);
    out[length] = '\0';
    return length;
}

// Async-signal-safe text builder over a fixed buffer.
struct safe_text {
    char* out;
    size_t size;
    size_t length = 0;
    void text(const char* s) {
        while (*s && length + 1 < size)
            out[length++] = *s++;
        out[length] = '\0';
    }
    void number(unsigned long long v, int width = 0, char pad = '0') {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        for (int i = n; i < width && length + 1 < size; ++i)
            out[length++] = pad;
        while (n > 0 && length + 1 < size)
            out[length++] = digits[--n];
        out[length] = '\0';
    }
};

const char* const week_days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct civil_time {
    long long year;
    unsigned month, day, hour, minute, second, week_day;
};

// Local time from the cached offset, by calendar arithmetic only.
civil_time civil_now() {
    long long t = static_cast<long long>(time(nullptr)) + g_utc_offset;
    long long days = t / 86400;
    long long rest = t % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    civil_time c;
    c.hour = static_cast<unsigned>(rest / 3600);
    c.minute = static_cast<unsigned>(rest / 60 % 60);
    c.second = static_cast<unsigned>(rest % 60);
    c.week_day = static_cast<unsigned>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    c.day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    c.month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    c.year = yoe + era * 400 + (c.month <= 2 ? 1 : 0);
    return c;
}

// "Mmm dd hh:mm:ss", the day padded with a blank.
void put_date_time(safe_text& out, const civil_time& now) {
    out.text(month_names[now.month - 1]);
    out.number(now.day, 3, ' ');
    out.text(" ");
    out.number(now.hour, 2);
    out.text(":");
    out.number(now.minute, 2);
    out.text(":");
    out.number(now.second, 2);
}

// Writes lead + prefix + head + formatted message with one write. A line
// cut at the limit keeps its closing newline so that the next line still
// starts on its own.
void write_line(int fd, const char* lead, const char* head, const char* fmt, va_list args) {
    char line[2 * prefix_max + line_max + 1];
    size_t used = std::min(strlen(lead), prefix_max);
    memcpy(line, lead, used);
    used += make_prefix(line + used, prefix_max);
    char* text = line + used;
    size_t head_length = std::min(strlen(head), line_max - 1);
    memcpy(text, head, head_length);
    size_t length = head_length + log_format(text + head_length, line_max + 1 - head_length, fmt, args);
    if (length == line_max && fmt[0] && fmt[strlen(fmt) - 1] == '\n')
        text[length - 1] = '\n';
    write_fully(fd, line, used + length);
}

template <typename T>
size_t put_unsigned(char* out, size_t room, T value, unsigned base) {
    char digits[32];
    size_t n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    size_t written = 0;
    while (n > 0 && written < room)
        out[written++] = digits[--n];
    return written;
}

size_t put_text(char* out, size_t room, const char* text) {
    size_t n = 0;
    while (text[n] && n < room) {
        out[n] = text[n];
        ++n;
    }
    return n;
}

enum class length_kind { plain, half, lng, lng_lng, size };

unsigned long long take_unsigned(va_list& args, length_kind kind) {
    switch (kind) {
    case length_kind::lng: return va_arg(args, unsigned long);
    case length_kind::lng_lng: return va_arg(args, unsigned long long);
    case length_kind::size: return va_arg(args, size_t);
    default: return va_arg(args, unsigned);
    }
}

long long take_signed(va_list& args, length_kind kind) {
    switch (kind) {
    case length_kind::lng: return va_arg(args, long);
    case length_kind::lng_lng: return va_arg(args, long long);
    case length_kind::size: return va_arg(args, ssize_t);
    default: return va_arg(args, int);
    }
}

}  // namespace

void write_fully(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

size_t log_format(char* out, size_t size, const char* fmt, va_list args_in) {
    if (size == 0)
        return 0;
    va_list args;
    va_copy(args, args_in);
    size_t room = size - 1;
    size_t n = 0;
    for (const char* p = fmt; *p && n < room; ++p) {
        if (*p != '%') {
            out[n++] = *p;
            continue;
        }
        if (!*++p)
            break;
        // Length modifiers keep the argument list aligned for callers that
        // pass 64-bit or size values.
        length_kind kind = length_kind::plain;
        const char* conv = p;
        if (*conv == 'h') {
            kind = length_kind::half;
            conv += conv[1] == 'h' ? 2 : 1;
        } else if (*conv == 'l') {
            kind = conv[1] == 'l' ? length_kind::lng_lng : length_kind::lng;
            conv += conv[1] == 'l' ? 2 : 1;
        } else if (*conv == 'z') {
            kind = length_kind::size;
            ++conv;
        } else if (*conv == 'j') {
            kind = length_kind::lng_lng;
            ++conv;
        }
        switch (*conv) {
        case 'i':
        case 'd': {
            long long v = take_signed(args, kind);
            unsigned long long magnitude = static_cast<unsigned long long>(v);
            if (v < 0) {
                out[n++] = '-';
                magnitude = 0 - magnitude;
            }
            n += put_unsigned(out + n, room - n, magnitude, 10);
            p = conv;
            break;
        }
        case 'u':
            n += put_unsigned(out + n, room - n, take_unsigned(args, kind), 10);
            p = conv;
            break;
        case 'x':
            n += put_text(out + n, room - n, "0x");
            n += put_unsigned(out + n, room - n, take_unsigned(args, kind), 16);
            p = conv;
            break;
        case 's': {
            const char* s = va_arg(args, const char*);
            n += put_text(out + n, room - n, s ? s : "(null)");
            p = conv;
            break;
        }
        default:
            out[n++] = *p;  // no conversion: the character itself
            break;
        }
    }
    va_end(args);
    out[n] = '\0';
    return n;
}

void vrx_log(unsigned level, const char* fmt, ...) {
    int saved_errno = errno;
    bool enabled = level_enabled(level);
    if (!enabled && !g_extra_debug)
        return;
    va_list args;
    va_start(args, fmt);
    const char* word = level_word(level);
    char head[16];
    snprintf(head, sizeof head, "%s ", word);

    if (enabled) {
        if (g_extra_debug) {
            va_list copy;
            va_copy(copy, args);
            write_line(STDERR_FILENO, "", head, fmt, copy);
            va_end(copy);
        }
        if (g_target == log_syslog) {
            char format[line_max];
            snprintf(format, sizeof format, "%s %s", word, fmt);
            vsyslog(g_syslog_priority, format, args);
        } else {
            write_line(g_target, "", head, fmt, args);
        }
    } else if (g_extra_debug) {
        write_line(STDERR_FILENO, head, "", fmt, args);
    }
    va_end(args);
    errno = saved_errno;
}

void vrx_log_async(unsigned level, const char* fmt, ...) {
    int saved_errno = errno;
    bool enabled = level_enabled(level);
    if (!enabled && !g_extra_debug)
        return;
    va_list args;
    va_start(args, fmt);
    char message[line_max];
    log_format(message, sizeof message, fmt, args);
    va_end(args);
    const char* word = level_word(level);
    civil_time now = civil_now();

    char line[2 * prefix_max + line_max];
    safe_text out{line, sizeof line};
    if (!enabled) {
        out.text(word);
        out.text(" ");
    }
    out.text(week_days[now.week_day]);
    out.text(" ");
    put_date_time(out, now);
    out.text(" ");
    out.number(static_cast<unsigned long long>(now.year));
    out.text(" vorex-icapd (");
    out.number(static_cast<unsigned long long>(getpid()));
    out.text("): ");
    if (enabled) {
        out.text(word);
        out.text(" ");
    }
    out.text(message);

    if (g_extra_debug)
        write_fully(STDERR_FILENO, line, out.length);
    if (enabled && g_target >= 0) {
        write_fully(g_target, line, out.length);
    } else if (enabled && g_target == log_syslog) {
        // "<priority>Mmm dd hh:mm:ss vorex-icapd [pid]: WORD message"
        char datagram[prefix_max + line_max];
        safe_text d{datagram, sizeof datagram};
        d.text("<");
        d.number(static_cast<unsigned long long>(g_syslog_priority));
        d.text(">");
        put_date_time(d, now);
        d.text(" vorex-icapd [");
        d.number(static_cast<unsigned long long>(getpid()));
        d.text("]: ");
        d.text(word);
        d.text(" ");
        d.text(message);
        int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        if (s >= 0) {
            struct sockaddr_un address;
            memset(&address, 0, sizeof address);
            address.sun_family = AF_UNIX;
            strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
            sendto(s, datagram, d.length, MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&address),
                   sizeof address);
            close(s);
        }
    }
    errno = saved_errno;
}

void log_set_options(int32_t log_level, int syslog_facility, int syslog_priority) {
    refresh_utc_offset();
    g_mask = static_cast<uint32_t>(log_level);
    g_syslog_priority = syslog_facility | syslog_priority;
}

void log_set_extra_debug(bool on) { g_extra_debug = on; }

void log_suspend() {
    if (g_target >= 0)
        close(g_target);
    else if (g_target == log_syslog)
        closelog();
    g_target = log_suspended;
}

int log_open_target(const std::string& log_file) {
    if (strcasecmp(log_file.c_str(), "syslog") == 0)
        return log_syslog;
    // O_NOFOLLOW: a planted link must not redirect the root-owned open.
    int fd = open(log_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0664);
    if (fd < 0)
        throw std::runtime_error("failed to open logfile [" + log_file + "]: " + strerror(errno));
    // Started with a standard descriptor closed, the file would take its
    // number, and daemonising would put /dev/null in its place.
    if (fd <= STDERR_FILENO) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        int error = errno;
        close(fd);
        if (moved < 0)
            throw std::runtime_error("failed to open logfile [" + log_file + "]: " + strerror(error));
        fd = moved;
    }
    return fd;
}

void log_install_target(int target) {
    if (target == g_target)
        return;
    log_suspend();
    if (target == log_syslog)
        openlog("vorex-icapd ", LOG_PID, 0);
    g_target = target;
}

void log_discard_target(int target) {
    if (target >= 0 && target != g_target)
        close(target);
}

void log_set_target(const std::string& log_file) {
    log_suspend();
    log_install_target(log_open_target(log_file));
}

int log_target() { return g_target; }

void log_check_size(uint64_t max_log_size) {
    if (max_log_size == 0 || g_target < 0)
        return;
    struct stat st;
    if (fstat(g_target, &st) != 0) {
        vrx_log(log_level::error, "Error in fstat on log file: %s\n", strerror(errno));
        return;
    }
    if (static_cast<uint64_t>(st.st_size) > max_log_size && ftruncate(g_target, 0) != 0)
        vrx_log(log_level::error, "Error in truncate log file: %s\n", strerror(errno));
}

int log_give_to(uid_t uid, gid_t gid) {
    if (g_target < 0)
        return 0;
    // Only a file of its own: a hard link planted by User must not make
    // root hand over some other file.
    struct stat st;
    if (fstat(g_target, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return 0;
    return fchown(g_target, uid, gid);
}

void log_before_fork() {
    if (g_target == log_syslog)
        closelog();
}

void log_after_fork() {
    if (g_target == log_syslog)
        openlog("vorex-icapd ", LOG_PID, 0);
}

void close_fd_logged(int* fd) {
    if (*fd < 0)
        return;
    vrx_log(log_level::debug, "Closing fd %i\n", *fd);
    close(*fd);
    *fd = -1;
}
