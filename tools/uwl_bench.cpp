// uwl_bench: builds a list file of many URL keys with the writer library,
// then measures its load (signature check over the whole file), the memory
// the load leaves resident, and URL lookups per second.

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "icap/url_policy.h"
#include "request/request_state.h"
#include "settings/icapd_config.h"
#include "uwl_files/uwl_files.h"
#include "uwl_writer.h"

namespace {

// Processor time of this process: the machine may be shared, and waiting
// for a processor is not the filter's cost.
struct bench_clock {
    using time_point = double;
    static time_point now()
    {
        timespec t;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    }
};

double seconds_since(bench_clock::time_point start)
{
    return bench_clock::now() - start;
}

// A field of /proc/self/status in kB.
long status_kb(const char* field)
{
    std::ifstream in("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

// Keys of three kinds: whole sites, directories and single pages.
std::string key_text(size_t i)
{
    const std::string host = "host" + std::to_string(i) + ".example";
    switch (i % 3) {
    case 0: return host;
    case 1: return host + "/dir/";
    default: return host + "/dir/sub/page.html";
    }
}

double lookups_per_second(const std::vector<std::string>& urls, int expected, size_t rounds)
{
    request_state request;
    std::string matched;
    size_t wrong = 0;
    const auto start = bench_clock::now();
    for (size_t r = 0; r < rounds; ++r)
        for (const std::string& url : urls) {
            request.url = url;
            wrong += uwl_files_is_blocked(request, matched) != expected;
        }
    const double elapsed = seconds_since(start);
    if (wrong)
        std::fprintf(stderr, "uwl_bench: %zu lookups gave the wrong answer\n", wrong);
    return double(rounds * urls.size()) / elapsed;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t keys = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const char* private_key = argc > 2 ? argv[2] : VRX_UWL_PRIVATE_KEY;

    char name[] = "/tmp/vrx_uwl_bench_XXXXXX";
    if (!mkdtemp(name))
        return 1;
    const std::string dir = std::string(name) + "/";

    auto start = bench_clock::now();
    uwl_source source;
    source.type = "porno";
    source.keys.reserve(keys);
    for (size_t i = 0; i < keys; ++i)
        source.keys.push_back(uwl_url_key(key_text(i)));
    const std::string file = uwl_sign(uwl_layout(source), private_key);
    std::ofstream(dir + "bench.uwl", std::ios::binary) << file;
    const double build_time = seconds_since(start);
    source = uwl_source();

    const long anon_before = status_kb("RssAnon");
    const long file_before = status_kb("RssFile");
    g_config.uwl_directory = dir;
    start = bench_clock::now();
    const int loaded = uwl_files_load(g_config.uwl_directory);
    const double load_time = seconds_since(start);
    if (loaded != 1 || uwl_categories()[0].black.size() != 1) {
        std::fprintf(stderr, "uwl_bench: the list file did not load\n");
        return 1;
    }
    const long anon_after = status_kb("RssAnon");
    const long file_after = status_kb("RssFile");

    std::vector<std::string> hits, misses;
    for (size_t i = 0; i < 1000; ++i) {
        const size_t k = (i * 7919) % keys;
        hits.push_back("http://www.host" + std::to_string(k) + ".example/dir/sub/page.html?a=1&b=2&c=three");
        misses.push_back("http://www.other" + std::to_string(k) + ".example/dir/sub/page.html?a=1&b=2&c=three");
    }
    const double hit_rate = lookups_per_second(hits, 1, 200);
    const double miss_rate = lookups_per_second(misses, 0, 200);

    std::printf("list file: %zu URL keys, %zu bytes, built and signed in %.2f s of CPU\n", keys, file.size(),
                build_time);
    std::printf("load (map, SHA-1, DSA check): %.3f s of CPU\n", load_time);
    std::printf("resident after load: file-backed +%ld kB, anonymous +%ld kB\n", file_after - file_before,
                anon_after - anon_before);
    std::printf("lookups, matching URL:     %.0f per CPU second\n", hit_rate);
    std::printf("lookups, non-matching URL: %.0f per CPU second\n", miss_rate);

    uwl_files_release();
    nftw(dir.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 8,
         FTW_DEPTH | FTW_PHYS);
    return 0;
}
