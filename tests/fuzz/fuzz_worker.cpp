// Arbitrary bytes from an ICAP client to one worker over a socketpair: the
// request loop of one connection runs in-process and must end (the client
// half-closes after its bytes) without a crash, a hang or a leaked file.
// Built as fuzz_connection (VRX_FUZZ_PIECES), the input is a whole
// connection of pipelined requests split at each line "#next", sent in
// separate writes a moment apart, so requests and their parts meet the
// line reader's buffer at every boundary.

#include <cstddef>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "base/socket_io.h"
#include "daemon/worker.h"
#include "settings/icapd_config.h"

namespace {

char g_folder[] = "/tmp/vrx_fuzz_worker_XXXXXX";

void remove_folder() { rmdir(g_folder); }

// Every body file goes with its request, whatever the bytes were.
void expect_folder_empty() {
    DIR* dir = opendir(g_folder);
    if (!dir)
        abort();
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            abort();
    closedir(dir);
}

// The pieces the client writes one by one.
std::vector<std::pair<const uint8_t*, size_t>> pieces_of(const uint8_t* data, size_t size) {
    std::vector<std::pair<const uint8_t*, size_t>> pieces;
#ifdef VRX_FUZZ_PIECES
    static const char mark[] = "#next\n";
    const size_t mark_size = sizeof mark - 1;
    size_t start = 0;
    for (size_t at = 0; at + mark_size <= size; ++at) {
        if ((at == 0 || data[at - 1] == '\n') && memcmp(data + at, mark, mark_size) == 0) {
            pieces.emplace_back(data + start, at - start);
            start = at + mark_size;
            at = start - 1;
        }
    }
    pieces.emplace_back(data + start, size - start);
#else
    pieces.emplace_back(data, size);
#endif
    return pieces;
}

void set_up_once() {
    static bool done = false;
    if (done)
        return;
    done = true;
    signal(SIGPIPE, SIG_IGN);
    if (!mkdtemp(g_folder))
        abort();
    atexit(remove_folder);  // empty again: every body file goes with its request
    g_config.cache = std::string(g_folder) + "/";
    g_config.timeout = 0;      // no alarm: every read ends at the client's end of file
    socket_io_set_timeout(5);  // a wait that long is a hang
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    set_up_once();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    int worker_fd = fds[0];
    int client_fd = fds[1];
    // The client writes and reads at once, so neither side can block the
    // other on a full socket buffer.
    std::thread writer([&] {
        bool first = true;
        for (const auto& piece : pieces_of(data, size)) {
            if (!first)
                usleep(1000);
            first = false;
            size_t done = 0;
            while (done < piece.second) {
                ssize_t n = send(client_fd, piece.first + done, piece.second - done, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
        }
        shutdown(client_fd, SHUT_WR);
    });
    std::thread reader([&] {
        char buffer[4096];
        while (read(client_fd, buffer, sizeof buffer) > 0) {
        }
    });
    serve_connection(&worker_fd);
    if (worker_fd >= 0)
        close(worker_fd);
    writer.join();
    reader.join();
    close(client_fd);
    expect_folder_empty();
    return 0;
}
