#pragma once
// Runs the real vorex-icapd binary for tests: a configuration in a fresh
// temporary folder, a free loopback port, start under -m with the
// readiness byte, ICAP exchanges with time-outs, SIGTERM, clean-up.

#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "support/temp_folder.h"

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

class daemon_harness {
public:
    daemon_harness();
    ~daemon_harness();  // stops the daemon, removes the folder
    daemon_harness(const daemon_harness&) = delete;
    daemon_harness& operator=(const daemon_harness&) = delete;

    const std::string& dir() const { return folder_.path(); }
    int port() const { return port_; }
    std::string path(const std::string& name) const { return folder_.file(name); }
    std::string config_path() const { return path("vorex-icapd.ini"); }
    std::string log_path() const { return path("vorex-icapd.log"); }
    std::string pid_path() const { return path("vorex_icapd.pid"); }

    // The settings every test needs (log, pid file, cache, port, user,
    // templates, category folder), LogLevel 255, then `extra` lines, which
    // win over the defaults above them.
    std::string config_text(const std::string& extra = "") const;
    void write_config(const std::string& extra = "") const;
    static void write_file(const std::string& path, const std::string& text);
    static std::string read_file(const std::string& path);
    std::string log() const { return read_file(log_path()); }
    // Files in the configuration's Cache folder.
    int cache_files() const;

    // Starts `vorex-icapd -m -f CONFIG` (the config is written first when
    // missing) and waits up to 10 s for the readiness byte.
    bool start(const std::vector<std::string>& extra_args = {});
    pid_t pid() const { return pid_; }
    bool running() const;
    // SIGTERM and wait (10 s, then SIGKILL); returns the exit status.
    int stop();
    // Waits for the daemon to end by itself; its exit status, or -1 when
    // it still runs after timeout_ms.
    int wait_exit(int timeout_ms);
    // Sends a signal to the daemon.
    void signal(int signal_number) const;

    // A loopback connection to the daemon, -1 on failure.
    int connect() const;
    // Sends all bytes; false on failure.
    static bool send_all(int fd, const std::string& bytes);
    // Reads until the data received ends with `end` (empty: until end of
    // file), end of file or the time-out.
    static std::string read_until(int fd, const std::string& end, int timeout_ms = 5000);
    // Connects, sends, half-closes and reads until the daemon closes.
    std::string exchange(const std::string& bytes, int timeout_ms = 5000) const;

    // Children of the daemon (workers, cleaners, the metrics process; not
    // the connection keeper) and its open descriptors.
    std::vector<pid_t> children() const;
    // The connection keeper's pid, 0 when none runs.
    pid_t keeper() const;
    int open_descriptors() const;
    // A field of /proc/PID/status in KiB (VmHWM, VmSize ...), -1 when missing.
    static long status_kib(pid_t pid, const std::string& field);

    // A loopback TCP port that is free now.
    static int free_port();

    // Runs the binary with `args` to its end (time-out 20 s).
    static run_result run(const std::vector<std::string>& args);
    static std::string binary();

private:
    temp_folder folder_{"vrx_daemon"};
    int port_ = 0;
    pid_t pid_ = -1;
};

// Polls `condition` every 10 ms for at most timeout_ms.
template <typename F>
bool wait_until(F condition, int timeout_ms = 5000) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (condition())
            return true;
        usleep(10000);
    }
    return condition();
}
