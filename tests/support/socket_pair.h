#pragma once
// A connected AF_UNIX stream pair for tests of code that reads a client:
// `ours` is the side under test, `peer` the client. Opening it also empties
// the line reader and sets a short I/O time-out, so every case starts clean.

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "base/socket_io.h"

class socket_pair {
protected:
    void open_socket_pair()
    {
        signal(SIGPIPE, SIG_IGN);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ours = fds[0];
        peer = fds[1];
        readline_discard();
        socket_io_set_timeout(5);
    }
    void close_socket_pair()
    {
        if (ours >= 0)
            close(ours);
        if (peer >= 0)
            close(peer);
        ours = peer = -1;
    }
    // Everything the side under test wrote, after shutting down its writing.
    std::string received()
    {
        if (ours >= 0)
            shutdown(ours, SHUT_WR);
        std::string text;
        char buffer[65536];
        ssize_t n;
        while ((n = read(peer, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }

    int ours = -1, peer = -1;
};
