#pragma once
// A scripted peer on a local socket for byte-exact tests: it accepts one
// connection, reads the expected number of request bytes, writes a canned
// answer and closes.

#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace scan_test {

class fake_peer {
public:
    fake_peer(const std::string& path, size_t request_size, std::string answer)
        : path_(path)
    {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        path.copy(sun.sun_path, sizeof sun.sun_path - 1);
        unlink(path.c_str());
        bind(listen_fd_, reinterpret_cast<sockaddr*>(&sun), sizeof sun);
        listen(listen_fd_, 1);
        thread_ = std::thread([this, request_size, answer] { serve(request_size, answer); });
    }
    ~fake_peer()
    {
        if (thread_.joinable())
            thread_.join();
        close(listen_fd_);
        unlink(path_.c_str());
    }
    // The bytes received; waits for the peer to finish.
    const std::string& received()
    {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

private:
    void serve(size_t request_size, const std::string& answer)
    {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return;
        int fd = accept(listen_fd_, nullptr, nullptr);
        char buffer[4096];
        while (received_.size() < request_size) {
            pollfd q{fd, POLLIN, 0};
            if (poll(&q, 1, 5000) <= 0)
                break;
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            received_.append(buffer, static_cast<size_t>(n));
        }
        for (size_t done = 0; done < answer.size();) {
            ssize_t n = write(fd, answer.data() + done, answer.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(fd);
    }

    std::string path_;
    int listen_fd_ = -1;
    std::string received_;
    std::thread thread_;
};

} // namespace scan_test
