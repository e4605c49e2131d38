// Feeds arbitrary bytes as the scanning daemon's answer to one scan, in path
// or stream mode (first input byte), and checks that the client neither
// crashes nor keeps a connection after a broken answer.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/socket_io.h"
#include "scan/scan_session.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The answer must fit into the socket buffer: nobody reads the request.
    if (size < 1 || size > 60000)
        return 0;
    static std::string dir;
    if (dir.empty()) {
        char tmpl[] = "/tmp/fuzz_scan_XXXXXX";
        if (!mkdtemp(tmpl))
            abort();
        dir = tmpl;
        atexit([] { std::filesystem::remove_all(dir); });
        socket_io_set_timeout(1);
    }
    g_config = icapd_config();
    g_config.cache = dir + "/";
    g_config.templates = dir + "/none";     // report pages fail: the pass fallback runs
    g_config.path_to_quarantine = dir;
    for (int32_t icapd_config::*s :
         {&icapd_config::incurable, &icapd_config::suspicious, &icapd_config::adware,
          &icapd_config::dialers, &icapd_config::archive_restriction, &icapd_config::daemon_error})
        g_config.*s = action_pass;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        abort();
    if (write(pair[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1))
        abort();
    shutdown(pair[1], SHUT_WR);

    entity_record entity;
    entity.temp_path = dir + "/body";
    entity.file = fopen(entity.temp_path.c_str(), "w+");
    fputs("body", entity.file);
    entity.size = 4;
    request_state request;
    request.url = "http://fuzz.example/x";
    g_local_scan = data[0] & 1;
    g_config.local_scan = g_local_scan;

    int fd = pair[0];
    vrx_scan_file(entity, request, &fd);
    if (fd >= 0)
        close(fd);
    close(pair[1]);
    return 0;
}
