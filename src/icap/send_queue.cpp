#include "icap/send_queue.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "base/log.h"
#include "base/monotonic_clock.h"
#include "base/socket_io.h"
#include "icap/reply_writer.h"
#include "settings/icapd_config.h"

namespace {

// Bytes taken from the file per send.
constexpr size_t file_piece = 64 * 1024;
// How long a full queue waits for room before the rest goes to the file:
// a second, and well within Timeout, which a stall of the body must not
// reach.
int64_t stuck_ns() {
    constexpr int64_t second = 1000000000;
    return g_config.timeout >= 4 ? second : std::max<int64_t>(g_config.timeout, 1) * second / 4;
}

int timeout_ms() { return g_config.timeout < 1 || g_config.timeout > INT_MAX / 1000 ? -1 : g_config.timeout * 1000; }

}  // namespace

bool send_queue::send(const iovec* parts, size_t count) {
    std::vector<iovec> rest(parts, parts + count);
    size_t at = 0;
    if (empty()) {
        while (at < rest.size()) {
            msghdr message{};
            message.msg_iov = &rest[at];
            message.msg_iovlen = std::min<size_t>(rest.size() - at, IOV_MAX);
            ssize_t n = sendmsg(*fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n < 0)
                return fail("write");
            auto left = static_cast<size_t>(n);
            for (; at < rest.size() && left >= rest[at].iov_len; ++at)
                left -= rest[at].iov_len;
            if (left > 0) {
                rest[at].iov_base = static_cast<char*>(rest[at].iov_base) + left;
                rest[at].iov_len -= left;
            }
            if (n == 0)
                break;
        }
        for (size_t i = at; i < rest.size(); ++i)
            if (!keep(static_cast<const char*>(rest[i].iov_base), rest[i].iov_len))
                return false;
        return make_room();
    }
    for (const iovec& part : rest)
        if (!keep(static_cast<const char*>(part.iov_base), part.iov_len))
            return false;
    return push() && make_room();
}

bool send_queue::make_room() {
    if (stuck_ || waiting() < memory_max / 2)
        return true;
    const int64_t until = monotonic_ns() + stuck_ns();
    while (waiting() >= memory_max / 2) {
        int64_t left = until - monotonic_ns();
        if (left <= 0) {
            vrx_log(log_level::debug, "send queue: the client takes too little of the reply while it sends\n");
            stuck_ = true;
            return true;
        }
        pollfd p{*fd_, POLLOUT, 0};
        int ready = poll(&p, 1, static_cast<int>(left / 1000000 + 1));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return fail("wait");
        if (ready > 0 && !push())
            return false;
    }
    return true;
}

bool send_queue::keep(const char* data, size_t length) {
    if (length == 0)
        return true;
    if (file_at_ == file_end_ && mem_.size() - mem_at_ + length <= memory_max) {
        if (mem_at_ > 0 && mem_at_ >= mem_.size() / 2) {
            mem_.erase(0, mem_at_);
            mem_at_ = 0;
        }
        mem_.append(data, length);
        return true;
    }
    if (!file_.file)
        file_.create_file(g_config.cache);
    for (size_t done = 0; done < length;) {
        ssize_t n = pwrite(fileno(file_.file), data + done, length - done, static_cast<off_t>(file_end_));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            spool_failed(outcome_, g_config.cache, errno);
            return fail("spool");
        }
        done += static_cast<size_t>(n);
        file_end_ += static_cast<uint64_t>(n);
        spilled_ += static_cast<uint64_t>(n);
    }
    return true;
}

void send_queue::sent(size_t length) {
    if (mem_at_ < mem_.size()) {
        mem_at_ += length;
        if (mem_at_ == mem_.size()) {
            mem_.clear();
            mem_at_ = 0;
        }
    } else {
        file_at_ += length;
        if (file_at_ == file_end_) {
            // Sent pages need no writeback: the file starts over empty.
            if (ftruncate(fileno(file_.file), 0) != 0)
                vrx_log(log_level::error, "send queue: can not empty %s: %s\n", file_.temp_path.c_str(),
                        strerror(errno));
            file_at_ = file_end_ = 0;
        }
    }
    if (empty())
        stuck_ = false;
}

bool send_queue::front(const char*& data, size_t& length) {
    static std::vector<char> piece(file_piece);
    data = mem_.data() + mem_at_;
    length = mem_.size() - mem_at_;
    if (length > 0)
        return true;
    ssize_t got = pread(fileno(file_.file), piece.data(), std::min<uint64_t>(piece.size(), file_end_ - file_at_),
                        static_cast<off_t>(file_at_));
    if (got <= 0) {
        if (got == 0)
            errno = EIO;
        return fail("spool read");
    }
    data = piece.data();
    length = static_cast<size_t>(got);
    return true;
}

bool send_queue::push() {
    while (!empty()) {
        const char* data = nullptr;
        size_t length = 0;
        if (!front(data, length))
            return false;
        ssize_t n = ::send(*fd_, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n < 0)
            return fail("write");
        sent(static_cast<size_t>(n));
        if (static_cast<size_t>(n) < length)
            return true;
    }
    return true;
}

bool send_queue::wait_for_client() {
    for (;;) {
        if (!push())
            return false;
        if (empty() || !readline_empty())
            return true;
        pollfd p{*fd_, POLLIN | POLLOUT, 0};
        int ready = poll(&p, 1, timeout_ms());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            vrx_log(log_level::error, "send queue: the client neither sent nor read for %i seconds\n", g_config.timeout);
            close_fd_logged(fd_);
            return false;
        }
        if (ready < 0)
            return fail("wait");
        if (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
            return true;   // bytes, end of file or an error: the read tells which
    }
}

bool send_queue::drain() {
    while (!empty()) {
        const char* data = nullptr;
        size_t length = 0;
        if (!front(data, length) || !write_reply(fd_, data, length))
            return false;
        sent(length);
    }
    return true;
}

bool send_queue::fail(const char* what) {
    vrx_log(log_level::error, "send queue: %s error: %s\n", what, strerror(errno));
    close_fd_logged(fd_);
    return false;
}
