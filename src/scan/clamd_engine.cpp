// Scans through clamd: a body in a file goes over a local socket as its
// descriptor (FILDES, clamd reads the file itself); over TCP, from memory
// or with ClamdStream it is streamed (INSTREAM).

#include "scan/clamd_engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "base/log.h"
#include "scan/clamd_reply.h"
#include "scan/clamd_session.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"

namespace {

// clamd's largest INSTREAM piece is its own choice; 64 KiB is what its
// clients send.
constexpr size_t piece_max = 65536;

bool send_descriptor(int fd, const entity_record& entity)
{
    // A descriptor of its own: clamd must not share our file position.
    int passed = open(entity.temp_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (passed < 0) {
        vrx_log(log_level::error, "clamd: cannot open %s: %s\n", entity.temp_path.c_str(),
                strerror(errno));
        return false;
    }
    bool sent = clamd_send_descriptor(fd, passed);
    int saved = errno;
    close(passed);
    errno = saved;
    return sent;
}

// Pieces of at most 64 KiB, each after its length in network byte order,
// then a zero length. One write per piece: the command goes with the first
// piece and the zero length with the last, so a small body is one write.
bool send_stream(int fd, const entity_record& entity)
{
    static const char command[] = "zINSTREAM";
    constexpr size_t command_size = sizeof command;
    static char buffer[command_size + 4 + piece_max + 4];
    char* const piece = buffer + command_size + 4;
    memcpy(buffer, command, command_size);
    uint64_t done = 0;
    do {
        size_t want = static_cast<size_t>(std::min<uint64_t>(piece_max, entity.size - done));
        ssize_t got;
        if (entity.file) {
            got = pread(fileno(entity.file), piece, want, static_cast<off_t>(done));
        } else {
            got = static_cast<ssize_t>(
                std::min<uint64_t>(want, entity.data.size() > done ? entity.data.size() - done : 0));
            std::copy_n(entity.data.data() + done, got, piece);
        }
        if (got <= 0) {
            vrx_log(log_level::error, "clamd: cannot read the body to stream: %s\n",
                    got < 0 ? strerror(errno) : "it is shorter than its size");
            errno = EIO;
            return false;
        }
        for (int i = 0; i < 4; ++i)
            piece[i - 4] = static_cast<char>((static_cast<uint32_t>(got) >> (24 - 8 * i)) & 0xff);
        const char* start = done == 0 ? buffer : piece - 4;
        char* end = piece + got;
        done += static_cast<uint64_t>(got);
        if (done == entity.size) {
            memset(end, 0, 4);
            end += 4;
        }
        if (!clamd_send(fd, start, static_cast<size_t>(end - start)))
            return false;
    } while (done < entity.size);
    return true;
}

void log_found(const request_state& request, const entity_record& entity, uint32_t code,
               const std::string& threat)
{
    auto k = static_cast<unsigned long long>(entity.size / 1024 + 1);
    if (!request.client_ip.empty())
        vrx_log(log_level::warn, "url:[%s], client_ip:[%s], code=%x, size=%lluk, viruses:[%s]\n",
                request.url.c_str(), request.client_ip.c_str(), code, k, threat.c_str());
    else
        vrx_log(log_level::warn, "url:[%s], code=%x, size=%lluk, viruses:[%s]\n",
                request.url.c_str(), code, k, threat.c_str());
}

class clamd_engine : public scan_engine {
public:
    engine_answer scan(entity_record& entity, request_state& request) override
    {
        auto send = [&entity](int fd, bool local) {
            if (local && !g_config.clamd_stream && entity.file)
                return send_descriptor(fd, entity);
            return send_stream(fd, entity);
        };
        engine_answer answer;
        std::string reply;
        if (!clamd_session_command(send, &reply))
            return answer;
        vrx_log(log_level::debug, "clamd: %s: %s\n", request.url.c_str(), reply.c_str());
        // Pages and headers show what clamd said, also about an error.
        answer.report.push_back(reply);
        clamd_scan_answer scanned = clamd_read_scan_reply(reply);
        if (!scanned.usable) {
            vrx_log(log_level::error, "clamd: %s\n", reply.c_str());
            return answer;
        }
        if (!scanned.threat.empty()) {
            answer.threats.push_back({scanned.threat, 0});
            log_found(request, entity, scanned.code, scanned.threat);
        }
        answer.code = scanned.code;
        answer.answered = true;
        return answer;
    }

    // VERSION answers both: "ClamAV 1.4.6/27100/Thu Dec 10 03:02:35 2026".
    int refresh_istag() override
    {
        std::string version;
        if (!clamd_single_command("zVERSION", &version)) {
            vrx_log(log_level::error, "clamd: no answer to VERSION\n");
            return 0;
        }
        daemon_info = version;
        virus_total = clamd_database_version(version);
        vrx_log(log_level::debug, "clamd: %s, database version %lu\n", version.c_str(), virus_total);
        return 200;
    }
    int get_info() override { return refresh_istag(); }
};

} // namespace

scan_engine& clamd_engine_instance()
{
    static clamd_engine engine;
    return engine;
}
