// Scans bodies with clamd directly, as fast as clamd takes them: the
// benchmark's measure of clamd alone. N threads, each with one IDSESSION
// on a local socket, scan bodies of a fixed size for a bounded time, by
// INSTREAM from memory or by FILDES of a file written for the request.
// Every body differs (clamd caches clean results by content).
//
//   clamd_direct --socket PATH --body BYTES [--conns N] [--duration S]
//                [--mode instream|fildes] [--dir TMPDIR]
// Prints "RESULT rps=... mbps=... errors=...".

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct options {
    std::string socket;
    uint64_t body = 4096;
    int conns = 1;
    double duration = 5;
    std::string mode = "instream";
    std::string dir = "/tmp";
};

std::atomic<uint64_t> g_completed{0};
std::atomic<uint64_t> g_errors{0};
std::atomic<uint64_t> g_stamp{0};
std::atomic<bool> g_stop{false};

bool send_all(int fd, const void* data, size_t length)
{
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool read_reply(int fd, std::string* reply)
{
    reply->clear();
    char c;
    while (recv(fd, &c, 1, 0) == 1) {
        if (c == '\0')
            return true;
        *reply += c;
    }
    return false;
}

int open_session(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    path.copy(sun.sun_path, sizeof sun.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0
        || !send_all(fd, "zIDSESSION", 11)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool scan_instream(int fd, std::string& body)
{
    if (!send_all(fd, "zINSTREAM", 10))
        return false;
    for (size_t done = 0; done < body.size();) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(65536, body.size() - done));
        uint32_t length = htonl(n);
        if (!send_all(fd, &length, 4) || !send_all(fd, body.data() + done, n))
            return false;
        done += n;
    }
    uint32_t end = 0;
    return send_all(fd, &end, 4);
}

bool scan_fildes(int fd, const std::string& body, const std::string& path)
{
    int file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (file < 0)
        return false;
    bool written = write(file, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    char command[] = "zFILDES\0";
    iovec iov{command, sizeof command};
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
    memcpy(CMSG_DATA(cmsg), &file, sizeof file);
    bool sent = written && sendmsg(fd, &msg, MSG_NOSIGNAL) == sizeof command;
    close(file);
    return sent;
}

void worker(const options& o, int index)
{
    std::string body(o.body, '\0');
    std::mt19937_64 random(static_cast<uint64_t>(index) * 7919 + static_cast<uint64_t>(getpid()));
    for (char& c : body)
        c = static_cast<char>(random());
    const std::string path = o.dir + "/clamd_direct." + std::to_string(getpid()) + "." + std::to_string(index);
    int fd = -1;
    std::string reply;
    while (!g_stop) {
        if (fd < 0 && (fd = open_session(o.socket)) < 0) {
            ++g_errors;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        uint64_t stamp = ++g_stamp;
        memcpy(&body[0], &stamp, std::min<size_t>(sizeof stamp, body.size()));
        bool ok = o.mode == "fildes" ? scan_fildes(fd, body, path) : scan_instream(fd, body);
        if (ok && read_reply(fd, &reply) && reply.find(": OK") != std::string::npos) {
            ++g_completed;
        } else {
            ++g_errors;
            close(fd);
            fd = -1;
        }
    }
    if (fd >= 0)
        close(fd);
    unlink(path.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--socket") o.socket = v;
        else if (a == "--body") o.body = strtoull(v.c_str(), nullptr, 10);
        else if (a == "--conns") o.conns = atoi(v.c_str());
        else if (a == "--duration") o.duration = atof(v.c_str());
        else if (a == "--mode") o.mode = v;
        else if (a == "--dir") o.dir = v;
    }
    if (o.socket.empty() || o.body == 0 || o.conns < 1 || (o.mode != "instream" && o.mode != "fildes")) {
        fprintf(stderr, "usage: clamd_direct --socket PATH --body BYTES [--conns N] [--duration S]"
                        " [--mode instream|fildes] [--dir TMPDIR]\n");
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < o.conns; ++i)
        threads.emplace_back(worker, std::cref(o), i);
    std::this_thread::sleep_for(std::chrono::duration<double>(o.duration));
    g_stop = true;
    for (std::thread& t : threads)
        t.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double rps = static_cast<double>(g_completed) / elapsed;
    printf("RESULT rps=%.1f mbps=%.1f errors=%llu completed=%llu\n", rps,
           rps * static_cast<double>(o.body) / 1e6, static_cast<unsigned long long>(g_errors.load()),
           static_cast<unsigned long long>(g_completed.load()));
    return 0;
}
