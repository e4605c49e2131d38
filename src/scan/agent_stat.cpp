#include "scan/agent_stat.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "base/log.h"
#include "base/socket_io.h"
#include "base/stream_socket.h"
#include "scan/wire_buffer.h"
#include "settings/icapd_config.h"

namespace {
constexpr uint32_t cmd_agent_stat = 8196;
}

std::string agent_stat_record(const request_state& request, const std::string& file_text)
{
    bool with_urls = g_config.send_urls_with_viruses;
    auto count = static_cast<uint32_t>(g_config.send_stat ? request.viruses_list.size() : 0);
    wire_buffer record;
    record.u32(cmd_agent_stat).u32(with_urls ? 4 : 3).text(file_text).u32(count);
    for (uint32_t i = 0; i < count; ++i)
        record.text(request.viruses_list[i].name)
            .u32(static_cast<uint32_t>(request.viruses_list[i].type));
    if (with_urls) {
        record.u32(1).text(request.url).u32(count);
        for (uint32_t i = 0; i < count; ++i)
            record.text(request.viruses_list[i].name);
    }
    return record.bytes();
}

void send_agent_stat(const request_state& request, const std::string& file_text)
{
    if (!g_config.send_stat && !g_config.send_urls_with_viruses)
        return;
    vrx_log(log_level::wire, "Going to send stat/urls to agent...\n");
    int fd = connect_address_list(g_config.agent_addresses, g_config.timeout, false);
    if (fd < 0) {
        if (g_config.agent_addresses.empty())
            vrx_log(log_level::error, "Can`t connect to agent from %s\n",
                    "[]: please, specify correct address after -f option");
        else
            vrx_log(log_level::error, "Can`t connect to agent from %s\n",
                    g_config.config_source.c_str());
        return;
    }
    std::string record = agent_stat_record(request, file_text);
    // The error text is taken where a call failed: after a success errno
    // may still hold a retried EAGAIN.
    std::string error;
    uint32_t ack = 0;
    if (write_all(&fd, record.data(), static_cast<int64_t>(record.size()))
        != static_cast<int64_t>(record.size()))
        error = strerror(errno);
    else if (int64_t got = read_uint32(&fd, &ack); got != 4)
        error = got < 0 ? strerror(errno) : "connection closed by the agent";
    else if (ack == 0)
        error = "record refused by the agent";
    if (fd >= 0)
        close(fd);
    if (error.empty())
        vrx_log(log_level::wire, "Success send %u record(s) to agent (q = %s); url=%s (%i)\n",
                static_cast<unsigned>(request.viruses_list.size()), file_text.c_str(),
                request.url.c_str(), g_config.send_urls_with_viruses ? 1 : 0);
    else
        vrx_log(log_level::error, "Error in send stat to agent: %s\n", error.c_str());
}
