// squid_origin: the tests' HTTP origin as a stand-alone server for the
// Squid benchmark. Arguments PATH=FILE serve FILE at PATH; it prints its
// port and runs until SIGTERM or SIGINT.

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

#include "integration/squid_peer.h"

namespace {
volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, origin_server::page> pages;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        size_t eq = arg.find('=');
        std::ifstream in(arg.substr(eq + 1), std::ios::binary);
        if (eq == std::string::npos || !in) {
            std::cerr << "usage: squid_origin PATH=FILE...\n";
            return 2;
        }
        std::ostringstream bytes;
        bytes << in.rdbuf();
        pages[arg.substr(0, eq)] = {"application/octet-stream", bytes.str()};
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    signal(SIGPIPE, SIG_IGN);
    origin_server origin(std::move(pages));
    std::cout << origin.port() << std::endl;
    while (!g_stop)
        pause();
    return 0;
}
