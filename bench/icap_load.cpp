// Load generator for ICAP servers: N connections (keep-alive, or a new
// connection per request) driven from one epoll loop for a bounded time.
// Reports requests per second, MB/s of received body data, latency
// percentiles, errors and, with --watch-pid, the peak RSS (VmHWM) of the
// server's worker processes.
//
//   icap_load --port P --kind options|preview|echo [--body BYTES]
//             [--preview BYTES] [--conns N] [--duration S] [--new-conn]
//             [--service /echo] [--grace S] [--timeout S] [--watch-pid PID]
//             [--label TEXT] [--rate R] [--idle N] [--vary]
//
// --rate R: each connection starts at most R requests a second.
// --idle N: N more connections are opened at the start and send nothing.
// --idle-served: each of them first has one OPTIONS answered, as a proxy's
// connections kept after a burst (those left unanswered are counted).
// A kept connection that the server closes before any byte of the reply
// (as it may between requests) is retried on a new one, as proxies do, and
// counted apart.
// --vary: random body bytes, and every request's body differs from the
// others (a scanner that caches clean results by content scans each).
//   icap_load --free-port

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <string>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// ---------------------------------------------------------------- requests

constexpr size_t chunk_size = 65536;

struct piece {
    const char* data;
    size_t length;
};

// A run of pieces sent `repeat` times (a repeated body chunk), or once.
struct segment {
    std::vector<piece> pieces;
    uint64_t repeat = 1;
};

using program = std::vector<segment>;

// What one request sends: `first` at once; `rest` after "100 Continue".
struct request_template {
    program first;
    program rest;
    uint64_t body_size = 0;
    bool expects_echo = false;  // a 200 reply must carry the whole body
};

// Storage the pieces point into; lives for the whole run.
struct request_text {
    std::string head;
    std::string preview_chunk_head;
    std::string preview_end;
    std::string full_chunk_head;
    std::string tail_chunk_head;
    std::string crlf = "\r\n";
    std::string last_chunk = "0\r\n\r\n";
    std::string data = std::string(chunk_size, 'x');
};

std::string hex(uint64_t n)
{
    char text[32];
    snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(n));
    return text;
}

// Appends `length` body bytes as chunks of 64 KiB and the last chunk.
void append_chunks(program& out, request_text& text, uint64_t length)
{
    const uint64_t full = length / chunk_size;
    const uint64_t tail = length % chunk_size;
    if (full)
        out.push_back({{{text.full_chunk_head.data(), text.full_chunk_head.size()},
                        {text.data.data(), chunk_size},
                        {text.crlf.data(), 2}},
                       full});
    if (tail)
        out.push_back({{{text.tail_chunk_head.data(), text.tail_chunk_head.size()},
                        {text.data.data(), static_cast<size_t>(tail)},
                        {text.crlf.data(), 2}}});
    out.push_back({{{text.last_chunk.data(), text.last_chunk.size()}}});
}

request_template make_request(request_text& text, const std::string& kind, const std::string& uri,
                              uint64_t body, int64_t preview)
{
    request_template t;
    if (kind == "options") {
        text.head = "OPTIONS " + uri + " ICAP/1.0\r\nHost: 127.0.0.1\r\n"
                    "Encapsulated: null-body=0\r\n\r\n";
        t.first.push_back({{{text.head.data(), text.head.size()}}});
        return t;
    }
    const std::string req_hdr = "GET http://bench.example/object HTTP/1.1\r\n"
                                "Host: bench.example\r\n\r\n";
    const std::string res_hdr = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                "Content-Length: " + std::to_string(body) + "\r\n\r\n";
    std::string head = "RESPMOD " + uri + " ICAP/1.0\r\nHost: 127.0.0.1\r\n";
    if (kind == "preview")
        head += "Allow: 204\r\nPreview: " + std::to_string(preview) + "\r\n";
    head += "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req_hdr.size()) +
            ", res-body=" + std::to_string(req_hdr.size() + res_hdr.size()) + "\r\n\r\n";
    text.head = head + req_hdr + res_hdr;
    text.full_chunk_head = hex(chunk_size) + "\r\n";
    t.body_size = body;
    t.expects_echo = true;
    t.first.push_back({{{text.head.data(), text.head.size()}}});
    if (kind != "preview") {
        text.tail_chunk_head = hex(body % chunk_size) + "\r\n";
        append_chunks(t.first, text, body);
        return t;
    }
    const uint64_t in_preview = std::min<uint64_t>(body, static_cast<uint64_t>(preview));
    if (in_preview) {
        text.preview_chunk_head = hex(in_preview) + "\r\n";
        t.first.push_back({{{text.preview_chunk_head.data(), text.preview_chunk_head.size()},
                            {text.data.data(), static_cast<size_t>(in_preview)},
                            {text.crlf.data(), 2}}});
    }
    const bool whole = body <= static_cast<uint64_t>(preview);
    text.preview_end = whole ? "0; ieof\r\n\r\n" : "0\r\n\r\n";
    t.first.push_back({{{text.preview_end.data(), text.preview_end.size()}}});
    if (!whole) {
        text.tail_chunk_head = hex((body - in_preview) % chunk_size) + "\r\n";
        append_chunks(t.rest, text, body - in_preview);
    }
    return t;
}

// Position in a program; fills iovecs and advances by bytes written.
struct cursor {
    const program* prog = nullptr;
    size_t seg = 0;
    uint64_t rep = 0;
    size_t pc = 0;
    size_t off = 0;

    void start(const program* p)
    {
        prog = p;
        seg = 0;
        rep = 0;
        pc = 0;
        off = 0;
    }
    bool done() const { return !prog || seg >= prog->size(); }

    int fill(iovec* iov, int max) const
    {
        cursor c = *this;
        int n = 0;
        while (n < max && !c.done()) {
            const piece& p = (*c.prog)[c.seg].pieces[c.pc];
            iov[n].iov_base = const_cast<char*>(p.data + c.off);
            iov[n].iov_len = p.length - c.off;
            ++n;
            c.advance(p.length - c.off);
        }
        return n;
    }

    void advance(size_t bytes)
    {
        while (bytes > 0 && !done()) {
            const segment& s = (*prog)[seg];
            const size_t left = s.pieces[pc].length - off;
            const size_t step = std::min(left, bytes);
            off += step;
            bytes -= step;
            if (off == s.pieces[pc].length) {
                off = 0;
                if (++pc == s.pieces.size()) {
                    pc = 0;
                    if (++rep == s.repeat) {
                        rep = 0;
                        ++seg;
                    }
                }
            }
        }
    }
};

// ---------------------------------------------------------------- replies

// Incremental reader of ICAP replies: the head, the encapsulated HTTP
// header bytes, then a chunked body when the reply has one.
class reply_parser {
public:
    enum class event { none, continue_100, complete, error };

    void reset()
    {
        state_ = state::head;
        head_.clear();
        line_.clear();
        status_ = 0;
        body_bytes_ = 0;
        close_ = false;
    }

    // Consumes bytes from data; stops after an event.
    event feed(const char*& data, size_t& length)
    {
        while (length > 0) {
            switch (state_) {
            case state::head: {
                const size_t before = head_.size();
                head_.append(data, std::min<size_t>(length, 65536));
                const size_t end = head_.find("\r\n\r\n");
                if (end == std::string::npos) {
                    if (head_.size() > 65536)
                        return event::error;
                    data += head_.size() - before;
                    length -= head_.size() - before;
                    break;
                }
                const size_t used = end + 4 - before;
                data += used;
                length -= used;
                head_.resize(end + 4);
                const event e = parse_head();
                if (e != event::none)
                    return e;
                break;
            }
            case state::http_header: {
                const size_t step = std::min<uint64_t>(length, skip_);
                data += step;
                length -= step;
                skip_ -= step;
                if (skip_ == 0) {
                    if (!has_body_)
                        return finish();
                    state_ = state::chunk_line;
                }
                break;
            }
            case state::chunk_line:
            case state::trailer: {
                const char* nl = static_cast<const char*>(memchr(data, '\n', length));
                const size_t step = nl ? static_cast<size_t>(nl - data) + 1 : length;
                line_.append(data, step);
                data += step;
                length -= step;
                if (line_.size() > 4096)
                    return event::error;
                if (!nl)
                    break;
                const std::string line = line_;
                line_.clear();
                if (state_ == state::trailer) {
                    if (line == "\r\n" || line == "\n")
                        return finish();
                    break;
                }
                char* end = nullptr;
                const unsigned long long size = strtoull(line.c_str(), &end, 16);
                if (end == line.c_str())
                    return event::error;
                if (size == 0) {
                    state_ = state::trailer;
                } else {
                    skip_ = size;
                    state_ = state::chunk_data;
                }
                break;
            }
            case state::chunk_data: {
                const size_t step = std::min<uint64_t>(length, skip_);
                data += step;
                length -= step;
                skip_ -= step;
                body_bytes_ += step;
                if (skip_ == 0) {
                    skip_ = 2;
                    state_ = state::chunk_crlf;
                }
                break;
            }
            case state::chunk_crlf: {
                const size_t step = std::min<uint64_t>(length, skip_);
                data += step;
                length -= step;
                skip_ -= step;
                if (skip_ == 0)
                    state_ = state::chunk_line;
                break;
            }
            case state::done:
                return event::error;  // bytes after a complete reply
            }
        }
        return event::none;
    }

    int status() const { return status_; }
    uint64_t body_bytes() const { return body_bytes_; }
    bool close_requested() const { return close_; }

private:
    enum class state { head, http_header, chunk_line, chunk_data, chunk_crlf, trailer, done };

    event finish()
    {
        state_ = state::done;
        return event::complete;
    }

    static bool header_value(const std::string& head, const char* name, std::string* value)
    {
        const size_t name_length = strlen(name);
        size_t pos = head.find("\r\n");
        while (pos != std::string::npos && pos + 2 < head.size()) {
            const size_t start = pos + 2;
            const size_t end = head.find("\r\n", start);
            if (end == std::string::npos || end == start)
                break;
            if (end - start > name_length && strncasecmp(head.c_str() + start, name, name_length) == 0) {
                *value = head.substr(start + name_length, end - start - name_length);
                return true;
            }
            pos = end;
        }
        return false;
    }

    event parse_head()
    {
        if (head_.compare(0, 9, "ICAP/1.0 ") != 0)
            return event::error;
        status_ = atoi(head_.c_str() + 9);
        if (status_ == 100) {
            head_.clear();
            return event::continue_100;
        }
        std::string value;
        close_ = header_value(head_, "Connection:", &value) &&
                 value.find("close") != std::string::npos;
        skip_ = 0;
        has_body_ = false;
        // The body item's offset is the length of the HTTP headers before it.
        if (header_value(head_, "Encapsulated:", &value)) {
            size_t pos = 0;
            while (pos < value.size()) {
                size_t end = value.find(',', pos);
                if (end == std::string::npos)
                    end = value.size();
                const std::string item = value.substr(pos, end - pos);
                const size_t eq = item.find('=');
                if (eq != std::string::npos && item.find("body") != std::string::npos) {
                    skip_ = strtoull(item.c_str() + eq + 1, nullptr, 10);
                    has_body_ = item.find("null-body") == std::string::npos;
                }
                pos = end + 1;
            }
        }
        state_ = state::http_header;
        if (skip_ == 0 && !has_body_)
            return finish();
        if (skip_ == 0)
            state_ = state::chunk_line;
        return event::none;
    }

    state state_ = state::head;
    std::string head_;
    std::string line_;
    int status_ = 0;
    uint64_t skip_ = 0;
    bool has_body_ = false;
    bool close_ = false;
    uint64_t body_bytes_ = 0;
};

// ---------------------------------------------------------------- the run

struct options {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string service = "/echo";
    std::string kind = "options";
    uint64_t body = 1024;
    int64_t preview = 0;
    int conns = 1;
    double duration = 3;
    double grace = 10;
    double timeout = 30;
    bool new_conn = false;
    int watch_pid = 0;
    std::string label;
    double rate = 0;  // requests a second per connection; 0: no pause
    int idle = 0;
    bool idle_served = false;
    bool vary = false;
};

// With --vary: the first bytes of the body data, rewritten with a new
// number at the start of every request. Every body chunk repeats them, and
// requests in flight at the same time see different numbers by the time
// they send.
char* g_vary_stamp = nullptr;
uint64_t g_vary_count = 0;

void vary_body(std::string& data)
{
    std::mt19937_64 random(static_cast<uint64_t>(getpid()) ^
                           static_cast<uint64_t>(clock_type::now().time_since_epoch().count()));
    for (char& c : data)
        c = static_cast<char>(random());
    g_vary_stamp = &data[0];
}

struct stats {
    uint64_t completed = 0;
    uint64_t errors = 0;
    uint64_t connect_errors = 0;
    uint64_t timeouts = 0;
    uint64_t bad_replies = 0;
    uint64_t broken = 0;         // the connection broke during a request
    uint64_t status_200 = 0;
    uint64_t status_204 = 0;
    uint64_t continues = 0;
    uint64_t unfinished = 0;
    uint64_t retried = 0;        // on a new connection, the kept one closed
    uint64_t body_bytes = 0;
    uint64_t idle_open = 0;      // idle connections still open at the end
    uint64_t idle_unanswered = 0;  // --idle-served: no OPTIONS reply in time
    std::vector<uint32_t> latency_us;
};

struct connection {
    int fd = -1;
    bool connecting = false;
    bool busy = false;          // a request is in flight
    bool waiting_continue = false;
    bool reused = false;        // a request was completed on this connection
    bool reply_started = false;
    bool pausing = false;       // kept open, waiting for the next start (--rate)
    cursor send;
    reply_parser reply;
    clock_type::time_point started;
    clock_type::time_point retry_at;
    uint32_t events = 0;
};

class load_run {
public:
    load_run(const options& o, const request_template& t) : o_(o), t_(t)
    {
        epoll_ = epoll_create1(0);
        if (epoll_ < 0)
            throw std::runtime_error(std::string("epoll_create1: ") + strerror(errno));
        address_.sin_family = AF_INET;
        address_.sin_port = htons(static_cast<uint16_t>(o.port));
        if (inet_pton(AF_INET, o.host.c_str(), &address_.sin_addr) != 1)
            throw std::runtime_error("bad address " + o.host);
        conns_.resize(static_cast<size_t>(o.conns));
        buffer_.resize(256 * 1024);
    }
    ~load_run() { close(epoll_); }

    stats run(double* elapsed)
    {
        start_ = clock_type::now();
        auto end = start_ + std::chrono::duration_cast<clock_type::duration>(
                                std::chrono::duration<double>(o_.duration));
        auto hard_end = end + std::chrono::duration_cast<clock_type::duration>(
                                  std::chrono::duration<double>(o_.grace));
        if (o_.idle_served) {
            open_idle_connections();
            serve_idle_once();
            start_ = clock_type::now();
            end = start_ + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(o_.duration));
            hard_end = end + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(o_.grace));
        }
        for (connection& c : conns_)
            begin(c);
        if (!o_.idle_served)
            open_idle_connections();
        std::vector<epoll_event> ready(conns_.size());
        auto last_sample = clock_type::now();
        while (true) {
            const auto now = clock_type::now();
            if (now >= end)
                stopping_ = true;
            if (stopping_ && (now >= hard_end || busy_count() == 0))
                break;
            check_timers(now);
            if (o_.watch_pid && now - last_sample >= std::chrono::milliseconds(100)) {
                sample_rss();
                last_sample = now;
            }
            const int n = epoll_wait(epoll_, ready.data(), static_cast<int>(ready.size()), 20);
            for (int i = 0; i < n; ++i) {
                connection& c = conns_[ready[i].data.u64];
                if (ready[i].events & (EPOLLOUT | EPOLLERR | EPOLLHUP))
                    on_writable(c);
                if (c.fd >= 0 && (ready[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)))
                    on_readable(c);
            }
        }
        *elapsed = seconds_since(start_);
        if (o_.watch_pid)
            sample_rss();
        for (connection& c : conns_) {
            if (c.busy)
                ++stats_.unfinished;
            drop(c, false);
        }
        for (int fd : idle_) {
            char byte;
            if (recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                ++stats_.idle_open;
            close(fd);
        }
        return std::move(stats_);
    }

    long peak_rss_kb() const { return peak_rss_kb_; }

private:
    // Opened without waiting for the server to accept them.
    void open_idle_connections()
    {
        for (int i = 0; i < o_.idle; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                ++stats_.connect_errors;
                continue;
            }
            if (connect(fd, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0 && errno != EINPROGRESS) {
                ++stats_.connect_errors;
                close(fd);
                continue;
            }
            idle_.push_back(fd);
        }
    }

    // One OPTIONS on every idle connection, in batches of 500, each batch
    // given 30 s to connect and be answered.
    void serve_idle_once()
    {
        const std::string request = "OPTIONS icap://" + o_.host + o_.service + " ICAP/1.0\r\nHost: " + o_.host +
                                    "\r\nEncapsulated: null-body=0\r\n\r\n";
        for (size_t first = 0; first < idle_.size(); first += 500) {
            const size_t last = std::min(idle_.size(), first + 500);
            std::vector<pollfd> waits;
            std::vector<std::string> replies(last - first);
            std::vector<bool> sent(last - first, false);
            for (size_t i = first; i < last; ++i)
                waits.push_back({idle_[i], POLLOUT, 0});
            size_t left = last - first;
            const auto deadline = clock_type::now() + std::chrono::seconds(30);
            while (left > 0 && clock_type::now() < deadline) {
                if (poll(waits.data(), waits.size(), 100) <= 0)
                    continue;
                for (size_t k = 0; k < waits.size(); ++k) {
                    pollfd& w = waits[k];
                    if (w.fd < 0 || !w.revents)
                        continue;
                    if (!sent[k]) {
                        sent[k] = send(w.fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                                  static_cast<ssize_t>(request.size());
                        w.events = POLLIN;
                        if (!sent[k]) {
                            w.fd = -1;
                            --left;
                        }
                        continue;
                    }
                    char bytes[4096];
                    ssize_t n = recv(w.fd, bytes, sizeof bytes, MSG_DONTWAIT);
                    if (n > 0)
                        replies[k].append(bytes, static_cast<size_t>(n));
                    if (n == 0 || (n < 0 && errno != EAGAIN) || replies[k].find("\r\n\r\n") != std::string::npos) {
                        if (replies[k].find("\r\n\r\n") != std::string::npos)
                            replies[k] = "done";
                        w.fd = -1;
                        --left;
                    }
                }
            }
            for (const std::string& reply : replies)
                stats_.idle_unanswered += reply != "done";
        }
    }

    size_t index(const connection& c) const { return static_cast<size_t>(&c - conns_.data()); }

    size_t busy_count() const
    {
        size_t n = 0;
        for (const connection& c : conns_)
            n += c.busy;
        return n;
    }

    void watch(connection& c, uint32_t events)
    {
        if (events == c.events)
            return;
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = index(c);
        epoll_ctl(epoll_, c.events ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &ev);
        c.events = events;
    }

    // Closes the connection; an abortive close leaves no TIME_WAIT behind
    // when a new connection is opened per request.
    void drop(connection& c, bool abortive)
    {
        if (c.fd < 0)
            return;
        if (abortive) {
            linger l{1, 0};
            setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        close(c.fd);
        c.fd = -1;
        c.events = 0;
        c.busy = false;
        c.connecting = false;
        c.reused = false;
        c.pausing = false;
    }

    void fail(connection& c, uint64_t& counter)
    {
        ++counter;
        ++stats_.errors;
        drop(c, true);
        // A short pause keeps a refusing server from turning the run into a
        // busy loop of failed connections.
        c.retry_at = clock_type::now() + std::chrono::milliseconds(10);
    }

    void begin(connection& c)
    {
        if (stopping_) {
            drop(c, o_.new_conn);
            return;
        }
        c.started = clock_type::now();
        start(c);
    }

    // Sends the request begun at c.started, on a new connection if needed.
    void start(connection& c)
    {
        c.busy = true;
        c.pausing = false;
        c.reply_started = false;
        if (c.fd < 0) {
            c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (c.fd < 0) {
                fail(c, stats_.connect_errors);
                return;
            }
            const int one = 1;
            setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (connect(c.fd, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0 &&
                errno != EINPROGRESS) {
                fail(c, stats_.connect_errors);
                return;
            }
            c.connecting = true;
        }
        if (g_vary_stamp) {
            ++g_vary_count;
            memcpy(g_vary_stamp, &g_vary_count, sizeof g_vary_count);
        }
        c.send.start(&t_.first);
        c.waiting_continue = false;
        c.reply.reset();
        watch(c, EPOLLIN | EPOLLOUT);
    }

    void check_timers(clock_type::time_point now)
    {
        const auto limit = std::chrono::duration_cast<clock_type::duration>(
            std::chrono::duration<double>(o_.timeout));
        for (connection& c : conns_) {
            if (c.busy && now - c.started > limit)
                fail(c, stats_.timeouts);
            else if (!c.busy && (c.fd < 0 || c.pausing) && !stopping_ && now >= c.retry_at)
                begin(c);
        }
    }

    void on_writable(connection& c)
    {
        if (c.connecting) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error) {
                fail(c, stats_.connect_errors);
                return;
            }
            c.connecting = false;
        }
        while (!c.send.done()) {
            iovec iov[48];
            const int n = c.send.fill(iov, 48);
            const ssize_t written = writev(c.fd, iov, n);
            if (written < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return;
                if (!retry_on_new_connection(c))
                    fail(c, stats_.broken);
                return;
            }
            c.send.advance(static_cast<size_t>(written));
        }
        watch(c, EPOLLIN);
    }

    void on_readable(connection& c)
    {
        const int fd = c.fd;
        while (c.fd == fd) {
            const ssize_t n = read(c.fd, buffer_.data(), buffer_.size());
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                // The server closed: an error only while a request is open.
                if (c.busy && !retry_on_new_connection(c))
                    fail(c, stats_.broken);
                else if (!c.busy)
                    drop(c, false);
                return;
            }
            if (n < 0)
                return;
            c.reply_started = true;
            if (!c.busy) {
                fail(c, stats_.bad_replies);
                return;
            }
            const char* data = buffer_.data();
            size_t length = static_cast<size_t>(n);
            while (length > 0 && c.fd == fd) {
                const reply_parser::event e = c.reply.feed(data, length);
                if (e == reply_parser::event::error) {
                    fail(c, stats_.bad_replies);
                    return;
                }
                if (e == reply_parser::event::continue_100) {
                    ++stats_.continues;
                    c.reply.reset();
                    c.send.start(&t_.rest);
                    watch(c, EPOLLIN | EPOLLOUT);
                } else if (e == reply_parser::event::complete) {
                    if (length > 0) {  // bytes after the reply: out of step
                        fail(c, stats_.bad_replies);
                        return;
                    }
                    complete(c);
                }
            }
        }
    }

    void complete(connection& c)
    {
        const int status = c.reply.status();
        const bool echo_ok = !t_.expects_echo || status != 200 || c.reply.body_bytes() == t_.body_size;
        if ((status != 200 && status != 204) || !echo_ok || !c.send.done()) {
            fail(c, stats_.bad_replies);
            return;
        }
        ++(status == 200 ? stats_.status_200 : stats_.status_204);
        ++stats_.completed;
        stats_.body_bytes += c.reply.body_bytes();
        stats_.latency_us.push_back(static_cast<uint32_t>(std::min<double>(
            seconds_since(c.started) * 1e6, 4e9)));
        c.busy = false;
        if (o_.new_conn || c.reply.close_requested())
            drop(c, o_.new_conn);
        c.reused = c.fd >= 0;
        if (o_.rate > 0) {
            c.retry_at = c.started + std::chrono::duration_cast<clock_type::duration>(
                                         std::chrono::duration<double>(1.0 / o_.rate));
            c.pausing = c.fd >= 0;
            return;
        }
        begin(c);
    }

    // A kept connection closed by the server before any byte of the reply:
    // the request goes again on a new connection (its time still counts).
    bool retry_on_new_connection(connection& c)
    {
        if (!c.reused || c.reply_started)
            return false;
        ++stats_.retried;
        drop(c, false);
        start(c);
        return true;
    }

    void sample_rss()
    {
        DIR* proc = opendir("/proc");
        if (!proc)
            return;
        while (dirent* e = readdir(proc)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9')
                continue;
            char path[300];
            snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
            FILE* f = fopen(path, "r");
            if (!f)
                continue;
            char line[1024];
            const bool ok = fgets(line, sizeof line, f) != nullptr;
            fclose(f);
            const char* paren = ok ? strrchr(line, ')') : nullptr;
            int ppid = 0;
            if (!paren || sscanf(paren + 1, " %*c %d", &ppid) != 1 || ppid != o_.watch_pid)
                continue;
            snprintf(path, sizeof path, "/proc/%s/status", e->d_name);
            f = fopen(path, "r");
            if (!f)
                continue;
            while (fgets(line, sizeof line, f)) {
                long kb = 0;
                if (sscanf(line, "VmHWM: %ld kB", &kb) == 1)
                    peak_rss_kb_ = std::max(peak_rss_kb_, kb);
            }
            fclose(f);
        }
        closedir(proc);
    }

    const options& o_;
    const request_template& t_;
    int epoll_ = -1;
    sockaddr_in address_{};
    std::vector<connection> conns_;
    std::vector<char> buffer_;
    stats stats_;
    clock_type::time_point start_;
    bool stopping_ = false;
    long peak_rss_kb_ = 0;
    std::vector<int> idle_;
};

int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        perror("free port");
        return 1;
    }
    printf("%d\n", ntohs(a.sin_port));
    close(fd);
    return 0;
}

uint32_t percentile(const std::vector<uint32_t>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

[[noreturn]] void usage()
{
    fprintf(stderr,
            "usage: icap_load --port P [--host A] [--service /echo] [--kind options|preview|echo]\n"
            "                 [--body BYTES] [--preview BYTES] [--conns N] [--duration S]\n"
            "                 [--grace S] [--timeout S] [--new-conn] [--watch-pid PID] [--label T]\n"
            "                 [--rate R] [--idle N] [--idle-served] [--vary]\n"
            "       icap_load --free-port\n");
    exit(2);
}

options parse_options(int argc, char** argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--host") o.host = value();
        else if (a == "--port") o.port = atoi(value().c_str());
        else if (a == "--service") o.service = value();
        else if (a == "--kind") o.kind = value();
        else if (a == "--body") o.body = strtoull(value().c_str(), nullptr, 10);
        else if (a == "--preview") o.preview = atoll(value().c_str());
        else if (a == "--conns") o.conns = atoi(value().c_str());
        else if (a == "--duration") o.duration = atof(value().c_str());
        else if (a == "--grace") o.grace = atof(value().c_str());
        else if (a == "--timeout") o.timeout = atof(value().c_str());
        else if (a == "--new-conn") o.new_conn = true;
        else if (a == "--watch-pid") o.watch_pid = atoi(value().c_str());
        else if (a == "--label") o.label = value();
        else if (a == "--rate") o.rate = atof(value().c_str());
        else if (a == "--idle") o.idle = atoi(value().c_str());
        else if (a == "--vary") o.vary = true;
        else if (a == "--idle-served") o.idle_served = true;
        else usage();
    }
    if (o.port <= 0 || o.port > 65535 || o.conns < 1 || o.conns > 4096 || o.duration <= 0 ||
        o.preview < 0 || o.rate < 0 || o.idle < 0 || (o.kind != "options" && o.kind != "preview" && o.kind != "echo"))
        usage();
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::string(argv[1]) == "--free-port")
        return free_port();
    const options o = parse_options(argc, argv);
    request_text text;
    if (o.vary)
        vary_body(text.data);
    const std::string uri = "icap://" + o.host + ":" + std::to_string(o.port) + o.service;
    const request_template t = make_request(text, o.kind, uri, o.body, o.preview);
    try {
        load_run run(o, t);
        double elapsed = 0;
        stats s = run.run(&elapsed);
        std::sort(s.latency_us.begin(), s.latency_us.end());
        const double rps = static_cast<double>(s.completed) / elapsed;
        const double mbps = static_cast<double>(s.body_bytes) / elapsed / 1e6;
        printf("%s: %llu requests in %.2f s: %.0f req/s, %.1f MB/s, latency p50 %u us p90 %u us "
               "p99 %u us, errors %llu (connect %llu, timeout %llu, reply %llu, broken %llu), "
               "unfinished %llu, "
               "200: %llu, 204: %llu, 100: %llu",
               o.label.empty() ? o.kind.c_str() : o.label.c_str(),
               static_cast<unsigned long long>(s.completed), elapsed, rps, mbps,
               percentile(s.latency_us, 0.5), percentile(s.latency_us, 0.9),
               percentile(s.latency_us, 0.99), static_cast<unsigned long long>(s.errors),
               static_cast<unsigned long long>(s.connect_errors),
               static_cast<unsigned long long>(s.timeouts),
               static_cast<unsigned long long>(s.bad_replies),
               static_cast<unsigned long long>(s.broken),
               static_cast<unsigned long long>(s.unfinished),
               static_cast<unsigned long long>(s.status_200),
               static_cast<unsigned long long>(s.status_204),
               static_cast<unsigned long long>(s.continues));
        if (o.watch_pid)
            printf(", worker peak RSS %ld kB", run.peak_rss_kb());
        printf(", retried %llu, idle connections still open %llu", static_cast<unsigned long long>(s.retried),
               static_cast<unsigned long long>(s.idle_open));
        printf("\nRESULT rps=%.1f mbps=%.1f p50_us=%u p90_us=%u p99_us=%u errors=%llu "
               "unfinished=%llu completed=%llu n200=%llu n204=%llu rss_kb=%ld retried=%llu idle_open=%llu "
               "idle_unanswered=%llu\n",
               rps, mbps, percentile(s.latency_us, 0.5), percentile(s.latency_us, 0.9),
               percentile(s.latency_us, 0.99), static_cast<unsigned long long>(s.errors),
               static_cast<unsigned long long>(s.unfinished),
               static_cast<unsigned long long>(s.completed),
               static_cast<unsigned long long>(s.status_200),
               static_cast<unsigned long long>(s.status_204), run.peak_rss_kb(),
               static_cast<unsigned long long>(s.retried), static_cast<unsigned long long>(s.idle_open),
               static_cast<unsigned long long>(s.idle_unanswered));
    } catch (const std::exception& e) {
        fprintf(stderr, "icap_load: %s\n", e.what());
        return 1;
    }
    return 0;
}
