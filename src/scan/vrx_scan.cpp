// Commands of the scanning-daemon client: virus bases (3), daemon
// information (4) and scan (1) in path and stream modes.

#include "scan/vrx_client.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <poll.h>
#include <unistd.h>

#include "base/log.h"
#include "base/socket_io.h"
#include "request/spool_files.h"
#include "scan/file_with_path.h"
#include "scan/scan_session.h"
#include "scan/vrx_verdict.h"
#include "scan/wire_buffer.h"
#include "settings/icapd_config.h"

std::string daemon_info;

namespace {

constexpr uint32_t cmd_scan = 1;
constexpr uint32_t cmd_virus_bases = 3;
constexpr uint32_t cmd_info = 4;
constexpr uint32_t code_cured = 0x80100;

// An answer announcing more items or longer texts than these is treated as
// a daemon failure rather than trusted with an allocation of that size.
constexpr uint32_t answer_count_max = 10000;
constexpr uint32_t answer_text_max = 65536;

void drop_connection(int* fd)
{
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

bool send_bytes(int* fd, const std::string& bytes)
{
    return write_all(fd, bytes.data(), static_cast<int64_t>(bytes.size()))
           == static_cast<int64_t>(bytes.size());
}

bool read_u32(int* fd, uint32_t* value)
{
    return *fd >= 0 && read_uint32(fd, value) == 4;
}

bool read_count(int* fd, uint32_t* value)
{
    return read_u32(fd, value) && *value <= answer_count_max;
}

// Reads a text of `length` bytes; the text ends at its first NUL byte.
bool read_text_body(int* fd, uint32_t length, std::string* out)
{
    if (length > answer_text_max)
        return false;
    std::string bytes(length, '\0');
    if (length && read_all(fd, &bytes[0], length, false) != length)
        return false;
    size_t nul = bytes.find('\0');
    out->assign(bytes, 0, nul);
    return true;
}

bool read_text(int* fd, std::string* out)
{
    uint32_t length = 0;
    return read_u32(fd, &length) && read_text_body(fd, length, out);
}

// Between commands a kept connection is silent: readable means the daemon
// closed it (a restart) or left bytes behind, and a new one is opened
// rather than failing the next command on it.
bool connected(int* fd, bool local_fallback)
{
    if (*fd >= 0) {
        pollfd p{*fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 0)
            drop_connection(fd);
    }
    if (*fd < 0)
        *fd = vrx_connect(g_config.daemon_addresses, local_fallback, true);
    return *fd >= 0;
}

uint64_t size_in_k(uint64_t size)
{
    return size / 1024 + 1;
}

// "name,K" carries the type letter K; the letter and its comma are cut off.
virus_entry parse_virus_name(const std::string& raw)
{
    static const struct { char letter; int type; } letters[] = {
        {'K', 1}, {'M', 2}, {'S', 3}, {'A', 12}, {'D', 13}, {'J', 14}, {'R', 15}, {'H', 16},
    };
    virus_entry entry{raw, 0};
    if (raw.size() < 3 || raw[raw.size() - 2] != ',') {
        vrx_log(log_level::headers, "cannot determine virus type at %s\n", raw.c_str());
        return entry;
    }
    for (const auto& l : letters) {
        if (raw.back() == l.letter) {
            entry.type = l.type;
            entry.name.resize(raw.size() - 2);
            return entry;
        }
    }
    vrx_log(log_level::headers, "wrong virus type at %s\n", raw.c_str());
    return entry;
}

bool send_path_request(int* fd, const entity_record& entity, const request_state& request)
{
    vrx_log(log_level::debug, "vrx_scan_file: url to be scanned (send only path) - %s\n",
            request.url.c_str());
    wire_buffer head;
    head.u32(cmd_scan).u32(g_config.scan_options).u32(0).text(entity.temp_path).u32(0);
    return send_bytes(fd, head.bytes());
}

bool send_stream_request(int* fd, const entity_record& entity, const request_state& request)
{
    // The data length is a 32-bit field: a larger body cannot be streamed.
    if (entity.size > UINT32_MAX)
        return false;
    size_t piece = static_cast<size_t>(
        std::max<uint64_t>(1, std::min<uint64_t>(g_config.max_blocksize, entity.size)));
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece]);
    if (!buffer)
        return false;
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(entity.temp_path.c_str(), "rb"), fclose);
    if (!file)
        return false;
    vrx_log(log_level::debug, "vrx_scan_file: url to be scanned (send all file) - %s (size %llu)\n",
            request.url.c_str(), static_cast<unsigned long long>(entity.size));
    wire_buffer head;
    head.u32(cmd_scan).u32(g_config.scan_options).u32(0).u32(0)
        .u32(static_cast<uint32_t>(entity.size));
    if (!send_bytes(fd, head.bytes()))
        return false;
    // Exactly the announced size goes out, whatever the file holds.
    uint64_t left = entity.size;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(left, piece));
        size_t got = fread(buffer.get(), 1, want, file.get());
        if (got != want) {
            if (ferror(file.get()))
                vrx_log(log_level::error, "error in reading %s: %s\n", entity.temp_path.c_str(),
                        strerror(errno));
            return false;
        }
        if (write_all(fd, buffer.get(), static_cast<int64_t>(got)) != static_cast<int64_t>(got))
            return false;
        left -= got;
    }
    return true;
}

bool read_names(int* fd, const entity_record& entity, const request_state& request,
                engine_answer& answer)
{
    uint32_t count = 0;
    if (!read_count(fd, &count))
        return false;
    if (count == 0)
        return true;
    answer.threats.reserve(count);
    std::string joined;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        std::string raw;
        const char* error = nullptr;
        if (!read_u32(fd, &length))
            error = "error reading size in safe_read()";
        else if (!read_text_body(fd, length, &raw))
            error = "error reading virus name in safe_read()";
        if (error) {
            vrx_log(log_level::error, "vrx_scan_file: error while reading viruses list: %s\n", error);
            return false;
        }
        answer.threats.push_back(parse_virus_name(raw));
        if (i)
            joined += ", \n\t";
        joined += answer.threats.back().name;
    }
    auto k = static_cast<unsigned long long>(size_in_k(entity.size));
    if (!request.client_ip.empty())
        vrx_log(log_level::warn, "url:[%s], client_ip:[%s], code=%x, size=%lluk, viruses:[%s]\n",
                request.url.c_str(), request.client_ip.c_str(), answer.code, k,
                joined.c_str());
    else
        vrx_log(log_level::warn, "url:[%s], code=%x, size=%lluk, viruses:[%s]\n",
                request.url.c_str(), answer.code, k, joined.c_str());
    return true;
}

bool read_report(int* fd, engine_answer& answer)
{
    uint32_t count = 0;
    if (!read_count(fd, &count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        std::string line;
        if (!read_text(fd, &line))
            return false;
        vrx_log(log_level::debug, "vrx_scan_file: log >>> %s\n", line.c_str());
        answer.report.push_back(std::move(line));
    }
    return true;
}

// The cured object goes into a new file beside the body and replaces it
// only when exactly the announced size arrived before the end of the
// stream, so a broken transfer leaves the original body for the
// daemon-error action.
bool receive_cured_object(int* fd, entity_record& entity)
{
    uint32_t size = 0;
    if (!read_u32(fd, &size))
        return false;
    vrx_log(log_level::debug, "vrx_scan_file: get modify file from daemon socket (size=%u)\n", size);
    std::string new_path = entity.temp_path + ".XXXXXX";
    int new_fd = mkostemp(&new_path[0], O_CLOEXEC);   // kept from the mail command
    if (new_fd < 0) {
        vrx_log(log_level::error, "error in open %s: %s\n", new_path.c_str(), strerror(errno));
        return false;
    }
    std::string saved_last_temp = g_last_temp_file;
    g_last_temp_file = new_path;
    spool_files_add(new_path);
    auto finish = [&](bool ok) {
        if (!ok)
            unlink(new_path.c_str());
        spool_files_forget(new_path);   // removed, or renamed to the body's path
        g_last_temp_file = saved_last_temp;
        return ok;
    };
    FILE* out = fdopen(new_fd, "w");
    if (!out) {
        close(new_fd);
        return finish(false);
    }
    size_t piece = static_cast<size_t>(
        std::max<uint64_t>(1, std::min<uint64_t>(g_config.max_blocksize, size)));
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece]);
    if (!buffer) {
        vrx_log(log_level::error, "Error allocating %llu bytes\n",
                static_cast<unsigned long long>(g_config.max_blocksize));
        fclose(out);
        return finish(false);
    }
    uint64_t left = size;
    while (left > 0) {
        int64_t want = static_cast<int64_t>(std::min<uint64_t>(left, piece));
        int64_t got = read_all(fd, buffer.get(), want, false);
        if (got != want) {
            fclose(out);
            return finish(false);
        }
        if (fwrite(buffer.get(), 1, static_cast<size_t>(got), out) != static_cast<size_t>(got)) {
            vrx_log(log_level::error, "error in writing to %s: %s\n", new_path.c_str(),
                    strerror(errno));
            fclose(out);
            return finish(false);
        }
        left -= static_cast<uint64_t>(got);
    }
    char extra;
    if (read_all(fd, &extra, 1, false) != 0) {
        fclose(out);
        return finish(false);
    }
    if (fclose(out) != 0 || rename(new_path.c_str(), entity.temp_path.c_str()) != 0) {
        vrx_log(log_level::error, "error in writing to %s: %s\n", entity.temp_path.c_str(),
                strerror(errno));
        return finish(false);
    }
    if (entity.file && !(entity.file = freopen(entity.temp_path.c_str(), "r+e", entity.file)))
        return finish(false);
    entity.size = size;
    return finish(true);
}

// One scan exchange; false for any failure on the daemon's side.
bool scan_exchange(int* fd, entity_record& entity, const request_state& request, engine_answer& answer)
{
    if (!connected(fd, true))
        return false;
    bool sent = local_scan_in_effect() ? send_path_request(fd, entity, request)
                                       : send_stream_request(fd, entity, request);
    if (!sent || !read_u32(fd, &answer.code))
        return false;
    vrx_log(log_level::debug, "vrx_scan_file: response code - %x\n", answer.code);
    if (!read_names(fd, entity, request, answer) || !read_report(fd, answer))
        return false;
    if ((answer.code & code_cured) && !local_scan_in_effect()) {
        bool ok = receive_cured_object(fd, entity);
        // The object ran to the end of the stream: the next command needs a
        // new connection.
        drop_connection(fd);
        return ok;
    }
    return true;
}

} // namespace

int vrx_get_virus_num(int* fd)
{
    if (!connected(fd, false)) {
        vrx_log(log_level::error, "can not open connection with daemon!\n");
        return 0;
    }
    wire_buffer command;
    command.u32(cmd_virus_bases);
    uint32_t bases = 0;
    if (!send_bytes(fd, command.bytes()) || !read_count(fd, &bases)) {
        vrx_log(log_level::error, "communication error with daemon!\n");
        drop_connection(fd);
        return 0;
    }
    // A failed answer keeps the previous total (and the ISTAG with it).
    uint64_t total = 0;
    for (uint32_t i = 0; i < bases; ++i) {
        uint32_t length = 0;
        if (!read_u32(fd, &length)) {
            vrx_log(log_level::error, "communication error with daemon (%u) !\n", i);
            drop_connection(fd);
            return 0;
        }
        std::string name;
        uint32_t records = 0;
        if (!read_text_body(fd, length, &name) || !read_u32(fd, &records)) {
            vrx_log(log_level::error, "communication error with daemon!\n");
            drop_connection(fd);
            return 0;
        }
        vrx_log(log_level::wire, "vrx_get_virus_num: loaded virus base %s with %u viruses\n",
                name.c_str(), records);
        total += records;
    }
    virus_total = static_cast<unsigned long>(total);
    return 200;
}

int vrx_get_info(int* fd)
{
    if (!connected(fd, false))
        return 0;
    wire_buffer command;
    command.u32(cmd_info);
    uint32_t length = 0;
    if (!send_bytes(fd, command.bytes()) || !read_u32(fd, &length)) {
        vrx_log(log_level::error, "communication error with daemon !\n");
        drop_connection(fd);
        return 0;
    }
    std::string text;
    if (!read_text_body(fd, length, &text)) {
        drop_connection(fd);
        return 0;
    }
    daemon_info = text;
    vrx_log(log_level::debug, "vrx_get_info:\n%s\n", daemon_info.c_str());
    return 200;
}

bool vrx_scan_exchange(entity_record& entity, const request_state& request, int* fd, engine_answer& answer)
{
    if (scan_exchange(fd, entity, request, answer))
        return true;
    drop_connection(fd);
    return false;
}
