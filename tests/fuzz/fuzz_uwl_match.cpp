// The per-request category check on arbitrary URLs, against a list file
// that uses every section.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ftw.h>
#include <fstream>
#include <string>
#include <unistd.h>

#include "icap/url_policy.h"
#include "request/request_state.h"
#include "settings/icapd_config.h"
#include "uwl_files/uwl_files.h"
#include "uwl_writer.h"

namespace {

std::string g_directory;

void remove_directory()
{
    uwl_files_release();
    nftw(g_directory.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 8,
         FTW_DEPTH | FTW_PHYS);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    uwl_source source;
    for (const char* line : {"type porno", "pattern casino", "ipv4 10.1.2.3", "ipv6 2001:db8::1",
                             "url example.com", "url dir.org/a/", "url 192.168.0.1/admin",
                             "url [2001:db8::7]/v6", "params shop.com/item id=5", "params shop.com/item a=1 b=",
                             "params any.org/"})
        uwl_source_line(source, line);
    // The fuzz build does not check signatures.
    const std::string bytes = uwl_layout(source) + std::string(40, '\0');
    char name[] = "/tmp/vrx_fuzz_uwl_XXXXXX";
    if (!mkdtemp(name))
        std::abort();
    g_directory = std::string(name) + "/";
    std::ofstream(g_directory + "p.uwl", std::ios::binary) << bytes;
    g_config.uwl_directory = g_directory;
    g_config.white_uwl_files_list.push_back({host_entry_host, "trusted.example"});
    if (uwl_files_load(g_config.uwl_directory) != 1 || uwl_categories()[0].black.empty())
        std::abort();
    std::atexit(remove_directory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    request_state request;
    request.url.assign(reinterpret_cast<const char*>(data), size);
    std::string matched;
    uwl_files_is_blocked(request, matched);
    return 0;
}
