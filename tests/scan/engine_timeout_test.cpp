// Every wait on a silent engine ends after Timeout: an address whose
// backlog is full (the connect never completes) and a peer that accepts
// and never answers, for clamd and for the scanning daemon.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "base/socket_io.h"
#include "base/stream_socket.h"
#include "scan/clamd_session.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"
#include "support/temp_folder.h"

namespace {

// A listening socket that never accepts; `fill` connects until its
// backlog is full, so that the next connect waits.
class silent_listener {
public:
    silent_listener(bool local, const std::string& path, bool fill) : local_(local), path_(path)
    {
        fd_ = socket(local ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (local) {
            sockaddr_un sun{};
            sun.sun_family = AF_UNIX;
            path.copy(sun.sun_path, sizeof sun.sun_path - 1);
            EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
        } else {
            sockaddr_in sin{};
            sin.sin_family = AF_INET;
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
            socklen_t size = sizeof sin;
            getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &size);
            port_ = std::to_string(ntohs(sin.sin_port));
        }
        EXPECT_EQ(listen(fd_, fill ? 0 : 16), 0);
        if (fill)
            fill_backlog();
    }
    ~silent_listener()
    {
        for (int fd : queued_)
            close(fd);
        close(fd_);
        if (local_)
            unlink(path_.c_str());
    }
    DaemonAddress address() const
    {
        DaemonAddress a;
        a.type = local_ ? DAEMON_ADDR_LOCAL : DAEMON_ADDR_INET;
        a.host = local_ ? path_ : "127.0.0.1";
        a.serv = port_;
        return a;
    }

private:
    void fill_backlog()
    {
        DaemonAddress a = address();
        // Non-blocking connects until one does not complete at once.
        for (int i = 0; i < 8; ++i) {
            int fd = socket(local_ ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int rc;
            if (local_) {
                sockaddr_un sun{};
                sun.sun_family = AF_UNIX;
                path_.copy(sun.sun_path, sizeof sun.sun_path - 1);
                rc = connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun);
            } else {
                sockaddr_in sin{};
                sin.sin_family = AF_INET;
                sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                sin.sin_port = htons(static_cast<uint16_t>(std::stoi(port_)));
                rc = connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
            }
            queued_.push_back(fd);
            if (rc != 0 && local_)
                break;
            // A TCP handshake completes in the kernel while the accept queue
            // has room; give it a moment before the next one.
            usleep(20000);
        }
    }

    bool local_;
    std::string path_;
    std::string port_ = "0";
    int fd_ = -1;
    std::vector<int> queued_;
};

class engine_timeout : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_config = icapd_config();
        g_config.timeout = 1;
        socket_io_set_timeout(1);
    }
    void TearDown() override { g_config = icapd_config(); }

    // Seconds that `call` took.
    template <class F>
    double seconds(F call)
    {
        auto start = std::chrono::steady_clock::now();
        call();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    temp_folder folder{"engine_timeout"};
};

// Far below the kernel's own connect time-out (minutes), with room for a
// loaded machine.
constexpr double bound_seconds = 10;

TEST_F(engine_timeout, connect_to_a_full_backlog_fails_after_timeout)
{
    for (bool local : {false, true}) {
        silent_listener peer(local, folder.path() + "/full.sock", true);
        int fd = -2;
        double took = seconds([&] { fd = connect_address(peer.address(), g_config.timeout, false); });
        EXPECT_EQ(fd, -1) << (local ? "local" : "tcp");
        if (fd >= 0)
            close(fd);
        EXPECT_LT(took, bound_seconds) << (local ? "local" : "tcp");
    }
}

TEST_F(engine_timeout, engine_that_accepts_and_never_answers_fails_after_timeout)
{
    for (bool local : {false, true}) {
        const char* mode = local ? "local" : "tcp";
        silent_listener peer(local, folder.path() + "/silent.sock", false);
        g_config.clamd_addresses = {peer.address()};
        g_config.daemon_addresses = {peer.address()};
        std::string reply;
        bool answered = true;
        EXPECT_LT(seconds([&] { answered = clamd_single_command("zVERSION", &reply); }), bound_seconds) << mode;
        EXPECT_FALSE(answered) << mode;
        answered = true;
        EXPECT_LT(seconds([&] { answered = clamd_session_command(
                                    [](int fd, bool) { return clamd_send(fd, "zVERSION", 9); }, &reply); }),
                  bound_seconds)
            << mode;
        EXPECT_FALSE(answered) << mode;
        int fd = vrx_connect(g_config.daemon_addresses, false, true);
        ASSERT_GE(fd, 0) << mode;
        int count = 0;
        EXPECT_LT(seconds([&] { count = vrx_get_virus_num(&fd); }), bound_seconds) << mode;
        EXPECT_LE(count, 0) << mode;
        if (fd >= 0)
            close(fd);
    }
}

}  // namespace
