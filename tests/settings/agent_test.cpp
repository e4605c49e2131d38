// The configuration fetched from an agent: an in-test agent on a local
// socket answers a loader running in a child process.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_process.h"
#include "base/load_failure.h"
#include "settings/config_load.h"
#include "settings_test_util.h"

namespace {

std::string u32(uint32_t value)
{
    const uint32_t wire = htonl(value);
    return std::string(reinterpret_cast<const char*>(&wire), 4);
}

std::string text(const std::string& bytes)
{
    return u32(static_cast<uint32_t>(bytes.size())) + bytes;
}

// The agent's answer up to the configuration text.
std::string reply_head(const std::string& block = "xyz")
{
    return u32(2) + u32(1) + u32(0) + text(block);
}

struct agent_result {
    std::string greeting;  // what the loader sent
    int status = -1;       // of the loader process
    std::string err;
};

struct settings_agent : ::testing::Test {
    temp_dir dir;
    std::string socket_path = dir.file("agent.sock");

    // Starts a loader for "-f local:SOCKET" in a child, accepts its
    // connection, reads the greeting, sends `reply` and hangs up. The child
    // exits 0 when the load succeeded with LogLevel 5.
    agent_result exchange(const std::string& reply, bool read_greeting = true)
    {
        agent_result result;
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        const std::string err_path = dir.file("stderr");

        const pid_t pid = fork();
        if (pid == 0) {
            close(listener);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            alarm(30);
            const std::string source = "local:" + socket_path;
            const char* argv[] = {"vorex-icapd", "-f", source.c_str(), nullptr};
            try {
                vrxid_init(3, const_cast<char**>(argv));
            } catch (const load_failure& e) {
                _exit(e.status);  // as at start-up: the reason is already reported
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s\n", e.what());
                _exit(4);
            }
            _exit(g_config.log_level == 5 ? 0 : 3);
        }

        pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, 10000) == 1) {
            const int fd = accept(listener, nullptr, nullptr);
            const std::string expected =
                u32(8195) + u32(1) + u32(51) + text("vorex-icapd") + u32(static_cast<uint32_t>(pid));
            char buffer[64] = {};
            size_t got = 0;
            while (read_greeting && got < expected.size()) {
                pollfd q = {fd, POLLIN, 0};
                if (poll(&q, 1, 10000) != 1)
                    break;
                const ssize_t n = read(fd, buffer + got, expected.size() - got);
                if (n <= 0)
                    break;
                got += static_cast<size_t>(n);
            }
            result.greeting.assign(buffer, got);
            if (read_greeting) {
                EXPECT_EQ(result.greeting, expected);
            }
            if (!reply.empty()) {
                EXPECT_EQ(write(fd, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
            }
            close(fd);
        } else {
            ADD_FAILURE() << "no connection from the loader";
        }
        close(listener);
        unlink(socket_path.c_str());
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.err = read_whole(err_path);
        return result;
    }
};

TEST_F(settings_agent, replies)
{
    const std::string config = "User = " + current_user() + "\nUwlDirectory = " + dir.path() + "/\nLogLevel = 5\n";
    const struct {
        const char* name;
        std::string reply;
        int status;
        std::string err;
    } cases[] = {
        {"accepted", reply_head() + text(config), 0, ""},
        {"empty block", reply_head("") + text(config), 0, ""},
        {"wrong reply", u32(3), 1, "invalid agent response (3) \n"},
        {"wrong version", u32(2) + u32(7), 1, "invalid agent response (7) \n"},
        {"no reply", "", 1, "invalid agent response (0) \n"},
        {"cut after the version", u32(2) + u32(1), 1, "invalid agent response (1) \n"},
        {"block too long", u32(2) + u32(1) + u32(0) + u32(2u << 20), 1,
         "invalid agent response: Message too long\n"},
        {"text too long", reply_head() + u32(17u << 20), 1,
         "invalid agent response: Message too long\n"},
        {"text missing", reply_head(), 1, "invalid agent response: Success\n"},
        {"text cut short", reply_head() + u32(100) + "User = x\n", 4,
         "Error while parsing config file: error reading config file: unexpected end of data\n"},
        {"bad text", reply_head() + text("LogLevel = x\n"), 4,
         "Error while parsing config file: parser error at line 2: Error parsing digital_t\n"},
    };
    for (const auto& c : cases) {
        const agent_result r = exchange(c.reply);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

// An agent that hangs up at once: whether the greeting or the reply fails
// first, the loader reports it and ends with status 1 (never by SIGPIPE).
TEST_F(settings_agent, agent_hangs_up)
{
    const agent_result r = exchange("", false);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.rfind("Error in communication with agent: ", 0) == 0 ||
                r.err.rfind("invalid agent response (0) ", 0) == 0)
        << r.err;
}

}  // namespace
