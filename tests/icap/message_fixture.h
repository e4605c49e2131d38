#pragma once
// In-process worker side of one ICAP connection over a socketpair, with a
// fresh request record, default settings, a private Cache folder and the
// sample templates.

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "base/socket_io.h"
#include "support/socket_pair.h"
#include "request/request_state.h"
#include "scan/scan_report.h"
#include "settings/icapd_config.h"

class message_fixture : public ::testing::Test, protected socket_pair {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(open_socket_pair());
        g_request.reset();
        greport.report.clear();
        g_config = icapd_config();
        g_config.timeout = 10;
        char dir[] = "/tmp/vrx_msg_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        cache = std::string(dir) + "/";
        g_config.cache = cache;
        g_config.templates = VRX_SOURCE_DIR "/conf/templates";
    }
    void TearDown() override {
        alarm(0);
        g_request.reset();
        if (!cache.empty()) {
            EXPECT_EQ(cache_files(), 0) << "temporary files left in the Cache folder";
            std::string command = "rm -rf " + cache;
            EXPECT_EQ(system(command.c_str()), 0);
            cache.clear();
        }
        close_socket_pair();
    }

    // A fresh connection and folder for the next case of a table.
    void reset() {
        TearDown();
        SetUp();
    }

    int cache_files() const {
        int count = 0;
        if (DIR* dir = opendir(cache.c_str())) {
            while (dirent* e = readdir(dir))
                count += e->d_name[0] != '.';
            closedir(dir);
        }
        return count;
    }
    void add_entities(std::initializer_list<std::pair<const char*, uint64_t>> items) {
        for (const auto& item : items)
            g_request.entities.emplace_back(item.first, item.second);
    }
    void mime(const char* rules) {
        std::istringstream text(rules);
        g_config.mime.parse_block(text);
    }
    void black_host(const char* host) { g_config.black_hosts_list.push_back({host_entry_host, host}); }
    void white_host(const char* host) { g_config.white_hosts_list.push_back({host_entry_host, host}); }
    // Scanning counts as configured; these tests never reach a scan.
    void scanning_on() { g_config.daemon_addresses.push_back({DAEMON_ADDR_LOCAL, "", "/nonexistent"}); }

    void send(const std::string& bytes) {
        ASSERT_EQ(write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The body bytes, from memory or from the temporary file.
    static std::string body_of(const entity_record& e) {
        if (!e.file)
            return e.data;
        std::string text;
        rewind(e.file);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, e.file)) > 0)
            text.append(buffer, n);
        rewind(e.file);
        return text;
    }

    std::string cache;
};

inline std::string chunked(const std::string& data, const char* last = "0\r\n\r\n") {
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return (data.empty() ? std::string() : size + data + "\r\n") + last;
}

constexpr const char* req_hdr = "GET /dir/file.bin HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
constexpr const char* res_hdr = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 11\r\n\r\n";
