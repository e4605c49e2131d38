// Feeds arbitrary bytes as the scanning daemon's answer to one scan, in path
// or stream mode (first input byte): the client must neither crash, hang
// nor allocate what the answer announces.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "base/socket_io.h"
#include "scan/scan_session.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
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

    entity_record entity;
    entity.temp_path = dir + "/body";
    entity.file = fopen(entity.temp_path.c_str(), "w+");
    fputs("body", entity.file);
    entity.size = 4;
    request_state request;
    request.url = "http://fuzz.example/x";
    g_config.local_scan = data[0] & 1;

    // The answer follows the whole request, as a daemon would send it (a
    // kept connection with bytes already waiting is not reused).
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        abort();
    size_t request_size = g_config.local_scan ? 20 + entity.temp_path.size() : 20 + entity.size;
    std::thread daemon([&] {
        std::string got(request_size, '\0');
        for (size_t done = 0; done < request_size;) {
            ssize_t n = read(pair[1], &got[done], request_size - done);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
        // The client may hang up before it has read everything.
        send(pair[1], data + 1, size - 1, MSG_NOSIGNAL);
        shutdown(pair[1], SHUT_WR);
    });
    int fd = pair[0];
    vrx_scan_file(entity, request, &fd);
    if (fd >= 0)
        close(fd);   // the daemon side sees the end and stops reading
    daemon.join();
    close(pair[1]);
    return 0;
}
