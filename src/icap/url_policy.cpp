#include "icap/url_policy.h"

#include <algorithm>
#include <strings.h>

#include "base/log.h"
#include "filters/host_list.h"
#include "filters/url_decode.h"
#include "request/request_expr_context.h"
#include "request/request_state.h"
#include "settings/icapd_config.h"
#include "uwl_files/parsed_url.h"
#include "uwl_files/uwl_files.h"
#include "uwl_files/uwl_match.h"

namespace {

// Length of a leading "http://" or "https://", any letter case.
size_t web_scheme_length(const char* text, size_t length)
{
    for (const char* scheme : {"http://", "https://"}) {
        const size_t n = std::char_traits<char>::length(scheme);
        if (length >= n && strncasecmp(text, scheme, n) == 0)
            return n;
    }
    return 0;
}

// Length of the user part ("user:password@") at the start of an undecoded
// URL without scheme. It is found before decoding: an encoded "/" or "?" in
// it ("x%2F@host") would otherwise end the host early and hide the real one.
size_t user_part_length(const std::string& url, size_t start)
{
    const size_t end = std::min(url.find_first_of("/?#", start), url.size());
    const size_t at = url.rfind('@', end);
    return at != std::string::npos && at >= start && at < end ? at + 1 - start : 0;
}

}  // namespace

int uwl_files_is_blocked(const request_state& request, std::string& matched, const char** category_name)
{
    const size_t skip = web_scheme_length(request.url.data(), request.url.size());
    const char* url = request.url.c_str() + skip;
    const size_t host = skip + user_part_length(request.url, skip);
    char decoded[url_max];
    const size_t length =
        url_decode(decoded, request.url.c_str() + host, std::min(request.url.size() - host, url_max - 1));
    vrx_log(log_level::wire, "uwl_files_is_blocked: decoded url: '%s'\n", decoded);

    const char* white_host = decoded + web_scheme_length(decoded, length);
    const char* slash = std::find(white_host, static_cast<const char*>(decoded + length), '/');
    if (is_host_in_white_list(std::string(white_host, slash), g_config.white_uwl_files_list)) {
        vrx_log(log_level::debug, "Skip checking [%s] host due to WhiteUwlFiles\n", url);
        return 0;
    }

    ParsedUrl parsed;
    parse_url(parsed, decoded, length);
    vrx_log(log_level::wire, "m_params=%s, m_hostname_length=%i m_resource=%i m_ip_type=%i\n",
            parsed.m_params.c_str(), static_cast<int>(parsed.m_hostname_length),
            static_cast<int>(parsed.m_resource), parsed.m_ip_type);

    const request_expr_context context(request);
    std::string match_with;
    for (size_t i = 0; i < uwl_category_count; ++i) {
        // A category's index is the override id of its Block key.
        if (!g_config.get_block(static_cast<int32_t>(i), context))
            continue;
        const uwl_category& category = uwl_categories()[i];
        const auto listed = [&](const UwlFile& file) { return uwl_file_match(file, parsed, match_with); };
        if (std::any_of(category.white.begin(), category.white.end(), listed)) {
            vrx_log(log_level::debug, "Skip check url:[%s] for uwl:[%s] due to white uwl files ( match_with:[%s] )\n",
                    url, category.name, match_with.c_str());
            continue;
        }
        if (std::any_of(category.black.begin(), category.black.end(), listed)) {
            if (!request.client_ip.empty())
                vrx_log(log_level::warn, "url:[%s], match_with:[%s], client_ip:[%s], uwl:[%s]\n", url,
                        match_with.c_str(), request.client_ip.c_str(), category.name);
            else
                vrx_log(log_level::warn, "url:[%s], match_with:[%s], uwl:[%s]\n", url, match_with.c_str(),
                        category.name);
            matched = match_with;
            if (category_name)
                *category_name = category.name;
            return 1;
        }
    }
    return 0;
}

bool uwl_categories_may_block(const request_state& request)
{
    const request_expr_context context(request);
    for (size_t i = 0; i < uwl_category_count; ++i)
        if (!uwl_categories()[i].black.empty() && g_config.get_block(static_cast<int32_t>(i), context))
            return true;
    return false;
}
