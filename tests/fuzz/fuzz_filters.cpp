// URL matching of the host lists and MIME decisions on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "filters/host_list.h"
#include "filters/mime_rules.h"
#include "filters/url_decode.h"

namespace {

const host_list& lists()
{
    static const host_list list{{host_entry_host, "trusted.example"},
                                {host_entry_host, "files.example/public/"},
                                {host_entry_host, "http://x.example"},
                                {host_entry_ip_str, "10.1.2.3"},
                                {host_entry_ip_str, "::1"}};
    return list;
}

const mime_rules& rules()
{
    static const mime_rules parsed = [] {
        mime_rules r;
        std::istringstream block("text pass all\ntext/html scan 10k pass\nimage reject -report all\n");
        r.parse_block(block);
        return r;
    }();
    return parsed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string out(size + 1, '\0');
    url_decode(&out[0], text.data(), size);
    is_host_in_list(text, lists());
    is_host_in_white_list(text, lists());
    int32_t option = 0;
    const mime_rule* rule = nullptr;
    rules().decide(text, static_cast<int64_t>(size) * 1000, &option, &rule);
    return 0;
}
