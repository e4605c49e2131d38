#include "daemon/connection_handoff.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "daemon/request_head.h"

int g_keeper_channel[2] = {-1, -1};

void open_keeper_channel() {
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_keeper_channel) != 0) {
        vrx_log(log_level::error, "socketpair: %s\n", strerror(errno));
        exit(1);
    }
}

void close_keeper_channel() {
    for (int& end : g_keeper_channel) {
        if (end >= 0)
            close(end);
        end = -1;
    }
}

handoff_result send_handoff(int channel, int fd, const handoff_header& header, const char* bytes, size_t length) {
    handoff_header h = header;
    h.bytes = static_cast<uint32_t>(length);
    struct iovec parts[2];
    parts[0].iov_base = &h;
    parts[0].iov_len = sizeof h;
    parts[1].iov_base = const_cast<char*>(bytes);
    parts[1].iov_len = length;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = length > 0 ? 2 : 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    for (;;) {
        if (sendmsg(channel, &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return handoff_result::done;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? handoff_result::would_block : handoff_result::failed;
    }
}

handoff_result receive_handoff(int channel, handoff* out) {
    // A head and the header; anything longer is not a message of ours, and
    // MSG_TRUNC reports it.
    static char buffer[sizeof(handoff_header) + request_head_limit];
    struct iovec part;
    part.iov_base = buffer;
    part.iov_len = sizeof buffer;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(channel, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? handoff_result::would_block : handoff_result::failed;
    if (n == 0 && message.msg_controllen == 0)
        return handoff_result::closed;
    int fd = -1;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len >= CMSG_LEN(sizeof(int)))
            memcpy(&fd, CMSG_DATA(c), sizeof fd);
    }
    handoff_header header;
    bool whole = static_cast<size_t>(n) >= sizeof header && !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
    if (whole) {
        memcpy(&header, buffer, sizeof header);
        whole = header.bytes == static_cast<size_t>(n) - sizeof header;
    }
    if (fd < 0 || !whole) {
        if (fd >= 0)
            close(fd);
        errno = EPROTO;
        return handoff_result::failed;
    }
    out->fd = fd;
    out->header = header;
    out->bytes.assign(buffer + sizeof header, header.bytes);
    return handoff_result::done;
}
