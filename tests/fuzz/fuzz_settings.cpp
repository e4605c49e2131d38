// Arbitrary configuration text through the parameter registry and the
// settings table, then the per-request getters over the match blocks built.
// The load must end in acceptance or an exception, never a crash or a hang.
//
// Left out on purpose, since they act outside the text: MIME blocks (their
// syntax errors end the process), the host-list files and the User lookup
// (the loader runs those after the parse), and lookup files (a fuzzed name
// could be any file of the machine).

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "conf_parser/cf_parser.h"
#include "request/request_expr_context.h"
#include "request/request_state.h"
#include "settings/settings_table.h"

namespace {

bool names_a_lookup_file(const std::string& text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower.find("file:") != std::string::npos;
}

void query_overrides(const icapd_config& cfg)
{
    request_state request;
    request.url = "http://www.example.com/a?b=c";
    request.username = "bob";
    request.client_ip = "10.1.2.3";
    request.start_time = 43200;
    const request_expr_context ctx(request);
    bool sink = cfg.get_block_porno(ctx);
    sink ^= cfg.get_block_chats(ctx);
    sink ^= cfg.get_block_all(ctx);
    (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (names_a_lookup_file(text))
        return 0;
    icapd_config cfg;
    try {
        param_registry registry;
        register_settings(registry, cfg);
        install_expression_callbacks(registry, cfg);
        registry.set_callback_add_mime([](const std::string&) {});
        cf_parse_buffer(text.data(), text.size(), registry);
        query_overrides(cfg);
    } catch (const std::exception&) {
    }
    return 0;
}
