#include "scan/clamd_session.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "base/socket_io.h"
#include "base/stream_socket.h"
#include "scan/clamd_reply.h"
#include "settings/icapd_config.h"

namespace {

// Replies are short lines; more than this without their NUL is not clamd.
constexpr size_t reply_max = 65536;

struct session {
    int fd = -1;
    pid_t owner = 0;   // a copy inherited through fork is not ours to use
    bool local = false;
    unsigned long next_id = 1;
    std::string inbox;   // bytes read after the last complete reply
};

session g_session;

int wait_seconds()
{
    return g_config.timeout < 1 ? -1 : g_config.timeout;
}

void close_session()
{
    if (g_session.fd >= 0)
        close(g_session.fd);
    g_session = session();
}

bool open_session()
{
    static const char idsession[] = "zIDSESSION";
    for (const DaemonAddress& address : g_config.clamd_addresses) {
        int fd = connect_address(address, g_config.timeout, true);
        if (fd < 0)
            continue;
        if (!clamd_send(fd, idsession, sizeof idsession)) {
            close(fd);
            continue;
        }
        g_session.fd = fd;
        g_session.owner = getpid();
        g_session.local = address.type == DAEMON_ADDR_LOCAL;
        vrx_log(log_level::wire, "clamd: session opened on %s\n", address.host.c_str());
        return true;
    }
    vrx_log(log_level::error, "clamd: no address of ClamdAddress answers\n");
    return false;
}

// Between commands a kept session is silent: readable means clamd closed
// it or said why it will ("COMMAND READ TIMED OUT").
bool session_usable()
{
    if (g_session.fd < 0 || g_session.owner != getpid())
        return false;
    pollfd p{g_session.fd, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
}

enum class read_status { complete, closed, failed };

// Reads until `inbox` holds a NUL-terminated message and moves it to
// `message`.
read_status read_message(int fd, std::string& inbox, std::string* message)
{
    for (;;) {
        size_t nul = inbox.find('\0');
        if (nul != std::string::npos) {
            message->assign(inbox, 0, nul);
            inbox.erase(0, nul + 1);
            return read_status::complete;
        }
        if (inbox.size() > reply_max)
            return read_status::failed;
        int ready = wait_readable(fd, wait_seconds());
        if (ready <= 0) {
            vrx_log(log_level::error, "clamd: %s while waiting for the reply\n",
                    ready == 0 ? "time-out" : strerror(errno));
            return read_status::failed;
        }
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            inbox.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            return inbox.empty() ? read_status::closed : read_status::failed;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // The connection broke: nothing more can come.
            return inbox.empty() ? read_status::closed : read_status::failed;
        }
    }
}

read_status read_numbered(unsigned long id, std::string* reply)
{
    for (;;) {
        std::string message;
        read_status status = read_message(g_session.fd, g_session.inbox, &message);
        if (status != read_status::complete)
            return status;
        unsigned long number = 0;
        if (!clamd_split_numbered(message, &number, reply) || number > id) {
            vrx_log(log_level::error, "clamd: unexpected reply: %s\n", message.c_str());
            return read_status::failed;
        }
        if (number == id)
            return read_status::complete;
        // The late reply of an earlier command.
    }
}

bool ends_with_error(const std::string& reply)
{
    static const std::string error = " ERROR";
    return reply.size() >= error.size()
           && reply.compare(reply.size() - error.size(), error.size(), error) == 0;
}

// Waits up to the scan time-out until fd takes more bytes; ETIMEDOUT when
// it does not.
bool await_writable(int fd)
{
    int ready = wait_writable(fd, wait_seconds());
    if (ready == 0)
        errno = ETIMEDOUT;
    return ready > 0;
}

} // namespace

bool clamd_send(int fd, const void* data, size_t length)
{
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
        if (n > 0) {
            bytes += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (!await_writable(fd))
            return false;
    }
    return true;
}

bool clamd_send_descriptor(int fd, int passed)
{
    // The command and one more byte travel in one message with the
    // descriptor attached, as clamd expects them.
    static const char command[] = "zFILDES\0";
    iovec iov{const_cast<char*>(command), sizeof command};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(cmsg), &passed, sizeof(int));
    for (;;) {
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(sizeof command))
            return true;
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        if (!await_writable(fd))
            return false;
    }
}

bool clamd_session_command(const clamd_sender& send, std::string* reply)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool kept = session_usable();
        if (!kept) {
            close_session();
            if (!open_session())
                return false;
        }
        unsigned long id = g_session.next_id++;
        bool sent = send(g_session.fd, g_session.local);
        // After a broken connection the reply may wait unread; after a
        // time-out or an unreadable body none will come.
        read_status status = read_status::failed;
        if (sent || errno == EPIPE || errno == ECONNRESET)
            status = read_numbered(id, reply);
        if (status == read_status::complete) {
            if (!sent || ends_with_error(*reply))
                close_session();
            return true;
        }
        close_session();
        // Only a kept session that clamd closed just now earns a second try.
        if (!kept || status != read_status::closed)
            return false;
        vrx_log(log_level::info, "clamd: the session was closed by clamd, opening a new one\n");
    }
    return false;
}

bool clamd_single_command(const char* command, std::string* reply)
{
    for (const DaemonAddress& address : g_config.clamd_addresses) {
        int fd = connect_address(address, g_config.timeout, true);
        if (fd < 0)
            continue;
        std::string inbox;
        bool ok = clamd_send(fd, command, strlen(command) + 1)
                  && read_message(fd, inbox, reply) == read_status::complete;
        close(fd);
        if (ok)
            return true;
    }
    return false;
}
