#pragma once
// The daemon's start-up: configuration, daemonising, privileges, the
// listening socket, the pid file, signals; then the accept loop.

int vorex_icapd_main(int argc, char** argv);
