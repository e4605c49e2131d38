// End to end with large bodies: curl through Debian's Squid, whose ICAP
// services are the daemon scanning with the stand-in. Squid 5.7 stalls a
// download whose ICAP reply waits for the whole body; the daemon starts the
// reply early and releases a few bytes, and cuts off what does not pass.

#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include "integration/daemon_harness.h"
#include "integration/scan_standin.h"
#include "squid_peer.h"

namespace {

constexpr size_t kb = 1000, mb = 1000 * 1000;
constexpr int release_limit = 64;

std::string sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i)
        text += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    return text;
}

// Bytes no signature matches, different at every position.
std::string filler(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>('a' + (x >> 24) % 26);
    }
    return bytes;
}

std::string with_eicar_at(size_t size, bool at_start) {
    std::string bytes = filler(size, 7);
    bytes.replace(at_start ? 0 : size - eicar().size(), eicar().size(), eicar());
    return bytes;
}

// The released counts the daemon logged, one per early reply, in order.
std::vector<int> released_counts(const std::string& log) {
    static const std::regex released("early reply: .* (\\d+) (?:body bytes )?released before the verdict");
    std::vector<int> counts;
    for (std::sregex_iterator it(log.begin(), log.end(), released), end; it != end; ++it)
        counts.push_back(std::stoi((*it)[1]));
    return counts;
}

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct download {
    int curl_exit = -1;
    int status = 0;
    std::string body;
};

class squid_large : public ::testing::Test {
protected:
    void SetUp() override {
        if (system("command -v squid >/dev/null 2>&1 && command -v curl >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "squid or curl is not installed";
        if (geteuid() != 0)
            GTEST_SKIP() << "squid needs root to switch to the proxy user";
        signal(SIGPIPE, SIG_IGN);
    }

    // Origin, stand-in scanner (with `scanner_args`), daemon and Squid.
    void start(std::map<std::string, origin_server::page> pages, const std::vector<std::string>& scanner_args = {},
               const std::string& extra = "") {
        origin = std::make_unique<origin_server>(std::move(pages));
        ASSERT_GT(origin->port(), 0);
        scanner = std::make_unique<standin_process>(daemon.dir(), scanner_args);
        ASSERT_TRUE(scanner->ready());
        daemon.write_config("VorexAddress = " + scanner->local_address() + "\nInfected = report\nTimeout = 20\n" +
                            "TrickleLimit = " + std::to_string(release_limit) + "\n" + extra);
        ASSERT_TRUE(daemon.start()) << daemon.log();
        squid = std::make_unique<squid_proxy>(daemon.port(), 1024);
        ASSERT_EQ(squid->error(), "");
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(origin->port()) + path;
    }

    download get(const std::string& path, const std::string& extra = "", int max_seconds = 60) {
        download result;
        std::string file = daemon.path("download");
        unlink(file.c_str());
        result.curl_exit = curl_to_file(squid->port(), url(path), file, extra, max_seconds, &result.status);
        result.body = daemon_harness::read_file(file);
        unlink(file.c_str());
        return result;
    }

    download post(const std::string& path, const std::string& bytes) {
        std::string upload = daemon.path("upload");
        daemon_harness::write_file(upload, bytes);
        download result = get(path, "-H 'Expect:' -H 'Content-Type: application/octet-stream' --data-binary @'" +
                                        upload + "'");
        unlink(upload.c_str());
        return result;
    }

    int cache_files() const { return daemon.cache_files(); }

    void expect_released_within_limit() {
        for (int count : released_counts(daemon.log()))
            EXPECT_LE(count, release_limit);
    }
    // The counts go to the test output: they vary with the machine's load.
    void print_released() {
        std::cout << "bytes released before each verdict:";
        for (int count : released_counts(daemon.log()))
            std::cout << " " << count;
        std::cout << "\n";
    }

    daemon_harness daemon;
    std::unique_ptr<origin_server> origin;
    std::unique_ptr<standin_process> scanner;
    std::unique_ptr<squid_proxy> squid;
};

TEST_F(squid_large, downloads_of_every_size_arrive_whole_and_the_connection_is_reused) {
    const size_t sizes[] = {300 * kb, 3 * mb, 10 * mb, 100 * mb};
    std::map<std::string, origin_server::page> pages = {{"/small.txt", {"text/plain", "small\n"}}};
    for (size_t size : sizes)
        pages["/" + std::to_string(size)] = {"application/octet-stream", filler(size, static_cast<unsigned>(size))};
    start(pages);
    for (size_t size : sizes) {
        download got = get("/" + std::to_string(size));
        EXPECT_EQ(got.curl_exit, 0) << size << "\n" << squid->log("cache.log");
        EXPECT_EQ(got.status, 200) << size;
        EXPECT_EQ(got.body.size(), size);
        EXPECT_EQ(sha256(got.body), sha256(pages["/" + std::to_string(size)].body)) << size;
    }
    std::vector<int> released = released_counts(daemon.log());
    EXPECT_FALSE(released.empty()) << "no reply started early";
    expect_released_within_limit();
    print_released();
    // The next RESPMOD comes on a connection Squid keeps: none is accepted
    // for it.
    std::string log = daemon.log();
    size_t before = log.size();
    EXPECT_EQ(get("/small.txt").body, "small\n");
    log = daemon.log();
    EXPECT_NE(log.find("icap header - 'RESPMOD", before), std::string::npos);
    EXPECT_EQ(log.find("accepted connection", before), std::string::npos);
    EXPECT_TRUE(wait_until([&] { return cache_files() == 0; })) << cache_files() << " files left";
}

TEST_F(squid_large, slow_origin_download_completes_within_the_release_limit) {
    const std::string body = filler(10 * mb, 3);
    start({{"/slow.bin", {"application/octet-stream", body, 1 * mb}}});
    download got = get("/slow.bin");
    EXPECT_EQ(got.curl_exit, 0) << squid->log("cache.log");
    EXPECT_EQ(sha256(got.body), sha256(body));
    EXPECT_FALSE(released_counts(daemon.log()).empty());
    expect_released_within_limit();
    print_released();
}

TEST_F(squid_large, infected_downloads_and_a_failing_scan_never_arrive_whole) {
    const size_t size = 3 * mb;
    const std::string at_start = with_eicar_at(size, true), at_end = with_eicar_at(size, false);
    start({{"/start.bin", {"application/octet-stream", at_start}}, {"/end.bin", {"application/octet-stream", at_end}}});
    for (const auto& [path, body] : {std::pair{"/start.bin", at_start}, std::pair{"/end.bin", at_end}}) {
        download got = get(path);
        EXPECT_NE(got.curl_exit, 0) << path;
        EXPECT_LT(got.body.size(), size) << path;
        EXPECT_LE(got.body.size(), static_cast<size_t>(release_limit)) << path;
        EXPECT_EQ(got.body, body.substr(0, got.body.size())) << path;
    }
    std::string log = daemon.log();
    EXPECT_GE(count_of(log, "EICAR-Test-File"), 2) << log;
    EXPECT_GE(count_of(log, "cut off (Report)"), 2) << log;
    expect_released_within_limit();
    EXPECT_TRUE(wait_until([&] { return cache_files() == 0; })) << cache_files() << " files left";
}

TEST_F(squid_large, a_passed_finding_arrives_whole_with_its_trailers) {
    std::string body = filler(3 * mb, 13);
    body.replace(mb, 12, "JOKE-PATTERN");
    start({{"/joke.bin", {"application/octet-stream", body}}}, {"--signature", "joke:Joke.Test:JOKE-PATTERN"});
    download got = get("/joke.bin");
    EXPECT_EQ(got.curl_exit, 0) << squid->log("cache.log");
    EXPECT_EQ(sha256(got.body), sha256(body));
    EXPECT_NE(daemon.log().find("passed whole"), std::string::npos);
    EXPECT_EQ(daemon.log().find("takes no trailers"), std::string::npos);
}

TEST_F(squid_large, failing_scanner_fails_closed) {
    const std::string body = filler(10 * mb, 5);
    start({{"/big.bin", {"application/octet-stream", body}}}, {"--misbehave", "close-mid-answer"});
    download got = get("/big.bin");
    EXPECT_NE(got.curl_exit, 0);
    EXPECT_LE(got.body.size(), static_cast<size_t>(release_limit));
    EXPECT_NE(daemon.log().find("cut off"), std::string::npos) << daemon.log();
    expect_released_within_limit();
}

TEST_F(squid_large, uploads_pass_whole_when_clean_and_never_when_infected) {
    start({{"/upload", {"text/plain", "stored\n"}}});
    for (size_t size : {300 * kb, 3 * mb}) {
        const std::string clean = filler(size, 11), infected = with_eicar_at(size, false);
        download sent = post("/upload", clean);
        EXPECT_EQ(sent.curl_exit, 0) << size;
        EXPECT_EQ(sent.body, "stored\n") << size;
        EXPECT_EQ(sha256(origin->received("/upload")), sha256(clean)) << size;
        sent = post("/upload", infected);
        EXPECT_NE(origin->received("/upload"), infected) << size;
        EXPECT_NE(sent.body.find("<title>Access denied</title>"), std::string::npos) << size;
    }
}

TEST_F(squid_large, aborted_download_leaves_no_temporary_file) {
    start({{"/slow.bin", {"application/octet-stream", filler(10 * mb, 9), 1 * mb}}});
    download got = get("/slow.bin", "", 2);
    EXPECT_EQ(got.curl_exit, 28);   // curl's time-out
    EXPECT_TRUE(wait_until([&] { return cache_files() == 0; }, 20000)) << cache_files() << " files left";
}

}  // namespace
