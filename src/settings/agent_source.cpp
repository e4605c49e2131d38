// Configuration fetched from the agent over a socket.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "base/load_failure.h"
#include "base/log.h"
#include "base/socket_io.h"
#include "base/stream_socket.h"
#include "settings/address_list.h"
#include "settings/config_source.h"

namespace {

// Requests and replies of the configuration exchange.
constexpr uint32_t agent_request = 8195;
constexpr uint32_t agent_request_version = 1;
constexpr uint32_t agent_request_kind = 51;
constexpr uint32_t agent_reply = 2;
constexpr uint32_t agent_reply_version = 1;
const char agent_client_name[] = "vorex-icapd";

// Longest block and configuration text taken from the agent: a larger
// length is a broken reply, not something to allocate or wait for.
constexpr uint32_t max_discarded_block = 1u << 20;
constexpr uint32_t max_config_text = 16u << 20;

// The agent knows the daemon by the process id of its first load.
pid_t agent_pid = 0;

// Agent failures are reported at once and end the load with status 1.
[[noreturn]] void fail_communication()
{
    const char* error = strerror(errno);
    vrx_log(log_level::error, "Error in communication with agent: %s\n", error);
    std::fprintf(stderr, "Error in communication with agent: %s\n", error);
    throw load_failure(1, std::string("Error in communication with agent: ") + error);
}

[[noreturn]] void fail_reply(uint32_t last_value)
{
    const char* error = errno ? strerror(errno) : "";
    vrx_log(log_level::error, "invalid agent response (%i) %s\n", static_cast<int>(last_value),
            error);
    std::fprintf(stderr, "invalid agent response (%i) %s\n", static_cast<int>(last_value), error);
    throw load_failure(1, "invalid agent response (" + std::to_string(last_value) + ") " + error);
}

void send_greeting(int* fd)
{
    const uint32_t name_length = sizeof agent_client_name - 1;
    if (write_uint32(fd, agent_request) != 4 || write_uint32(fd, agent_request_version) != 4 ||
        write_uint32(fd, agent_request_kind) != 4 || write_uint32(fd, name_length) != 4 ||
        write_all(fd, agent_client_name, name_length) != name_length ||
        write_uint32(fd, static_cast<uint32_t>(agent_pid)) != 4)
        fail_communication();
}

// True when a read of the reply moved `length` bytes. errno is left set
// only when the read failed: the socket layer may leave the error of a
// retried attempt behind, which must not be reported for a reply that
// merely ended early or held a wrong value.
bool read_done(int64_t result, int64_t length)
{
    if (result >= 0)
        errno = 0;
    return result == length;
}

// Reads the reply head and skips the block that precedes the text.
void read_reply_head(int* fd)
{
    uint32_t value = 0;
    if (!read_done(read_uint32(fd, &value), 4) || value != agent_reply)
        fail_reply(value);
    if (!read_done(read_uint32(fd, &value), 4) || value != agent_reply_version)
        fail_reply(value);
    if (!read_done(read_uint32(fd, &value), 4))
        fail_reply(value);

    uint32_t length = 0;
    bool ok = read_done(read_uint32(fd, &length), 4);
    if (ok && length > max_discarded_block) {
        errno = EMSGSIZE;
        ok = false;
    }
    char buffer[4096];
    while (ok && length > 0) {
        const uint32_t part = length < sizeof buffer ? length : sizeof buffer;
        ok = read_done(read_all(fd, buffer, part, false), part);
        length -= part;
    }
    if (!ok) {
        const char* error = strerror(errno);
        vrx_log(log_level::error, "Error reading data from agent: %s\n", error);
        std::fprintf(stderr, "invalid agent response: %s\n", error);
        throw load_failure(1, std::string("Error reading data from agent: ") + error);
    }
}

uint32_t read_text_length(int* fd)
{
    uint32_t length = 0;
    bool ok = read_done(read_uint32(fd, &length), 4);
    if (ok && length > max_config_text) {
        errno = EMSGSIZE;
        ok = false;
    }
    if (!ok) {
        const char* error = strerror(errno);
        vrx_log(log_level::error, "invalid agent response: %s\n", error);
        std::fprintf(stderr, "invalid agent response: %s\n", error);
        throw load_failure(1, std::string("invalid agent response: ") + error);
    }
    return length;
}

// Closes the agent connection and disarms the alarm however the load ends.
// SIGPIPE is ignored meanwhile, so that an agent that hangs up makes the
// greeting fail with its message instead of killing the process silently
// (at start-up the daemon does not ignore SIGPIPE yet).
struct agent_session {
    int fd = -1;
    struct sigaction saved_pipe;

    agent_session()
    {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &saved_pipe);
    }
    ~agent_session()
    {
        if (fd >= 0)
            close(fd);
        alarm(0);
        sigaction(SIGPIPE, &saved_pipe, nullptr);
    }
    agent_session(const agent_session&) = delete;
    agent_session& operator=(const agent_session&) = delete;
};

}  // namespace

void load_from_agent(icapd_config& cfg)
{
    if (agent_pid == 0)
        agent_pid = getpid();
    agent_session session;
    // The Timeout of the configuration held so far bounds the exchange.
    alarm(cfg.timeout > 0 ? static_cast<unsigned>(cfg.timeout) : 0);
    socket_io_set_timeout(cfg.timeout);
    if (!parse_address_list(cfg.config_source, cfg.agent_addresses)) {
        std::fprintf(stderr, "Error in parse path to agent socket %s\n", cfg.config_source.c_str());
        throw load_failure(1, "Error in parse path to agent socket " + cfg.config_source);
    }
    session.fd = connect_address_list(cfg.agent_addresses, g_config.timeout, false);
    if (session.fd < 0) {
        const std::string where = cfg.agent_addresses.empty()
                                      ? "[]: please, specify correct address after -f option"
                                      : cfg.config_source;
        vrx_log(log_level::error, "Can`t connect to agent from %s\n", where.c_str());
        std::fprintf(stderr, "Can`t connect to agent from %s\n", where.c_str());
        throw load_failure(1, "Can`t connect to agent from " + where);
    }
    send_greeting(&session.fd);
    read_reply_head(&session.fd);
    const uint32_t length = read_text_length(&session.fd);
    parse_config(
        [&session, length](std::string& text) {
            text.assign(length, '\0');
            if (length > 0 && !read_done(read_all(&session.fd, &text[0], length, false), length))
                throw std::runtime_error(std::string("error reading config file: ") +
                                         (errno ? strerror(errno) : "unexpected end of data"));
        },
        cfg);
}
