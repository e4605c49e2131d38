#include "icap/decision.h"

#include "request/request_expr_context.h"
#include "base/log.h"
#include "filters/host_list.h"
#include "scan/vrx_mail.h"
#include "settings/icapd_config.h"
#include "icap/url_policy.h"

namespace {

// The summary line of a decision: always written, except for a body that
// goes on to scanning.
void log_decision(const request_state& request, const std::string& rule_text, const char* reason,
                  early_verdict verdict) {
    std::string client;
    if (!request.client_ip.empty())
        client = " client_ip:[" + request.client_ip + "],";
    vrx_log(verdict == early_verdict::scan ? log_level::debug : log_level::warn,
            "url:[%s],%s content-type: %s, size=%lli%s -> %s\n", request.url.c_str(), client.c_str(),
            request.content_type.c_str(), static_cast<long long>(request.content_length),
            rule_text.c_str(), reason);
}

}  // namespace

bool url_is_black(const request_state& request, bool& by_host, std::string& matched, std::string& decision) {
    matched.clear();
    // A request header without a URL cannot be checked: with a black list
    // set it is blocked rather than let through.
    by_host = is_host_in_list(request.url, g_config.black_hosts_list) != 0 ||
              (request.url_unknown && !g_config.black_hosts_list.empty());
    if (by_host) {
        decision = "block-host";
        return true;
    }
    const char* category = nullptr;
    if (uwl_files_is_blocked(request, matched, &category) == 0)
        return false;
    decision = std::string("block-category:") + category;
    return true;
}

bool url_is_white(const request_state& request) {
    return is_host_in_white_list(request.url, g_config.white_hosts_list) != 0;
}

early_verdict early_decision(request_state& request, entity_record& body, bool scanning) {
    if (g_config.get_block_all(request_expr_context(request))) {
        vrx_log(log_level::debug, "url:[%s], content-type: %s, size=%lli -> %s\n", request.url.c_str(),
                request.content_type.c_str(), static_cast<long long>(request.content_length),
                "blocked due to BlockAll");
        request.outcome.decision = "block-all";
        return early_verdict::block;
    }
    bool by_host = false;
    std::string matched;
    if (url_is_black(request, by_host, matched, request.outcome.decision)) {
        if (g_config.send_mail_uwl_block)
            vrx_report_file(request, body, "in black list", "Content blocked", "/ERR_DOWNLOAD_BLOCK", matched);
        if (by_host)
            log_decision(request, "", "in black list", early_verdict::block);
        return early_verdict::block;
    }
    int32_t option = 0;
    const mime_rule* rule = nullptr;
    int32_t action = g_config.mime.decide(request.content_type, request.content_length, &option, &rule);
    std::string rule_text = rule ? mime_rules::rule_text(", rule:", *rule) : std::string();
    early_verdict verdict;
    const char* reason;
    switch (action) {
    case mime_pass:
        reason = "pass without check";
        verdict = early_verdict::pass;
        break;
    case mime_scan:
        reason = "continue checking";
        if (!scanning) {
            reason = "antivirus disabled";
            verdict = early_verdict::pass;
        } else if (url_is_white(request)) {
            vrx_log(log_level::debug, "in white list\n");
            verdict = early_verdict::pass;
        } else {
            verdict = early_verdict::scan;
        }
        break;
    case mime_reject:
        reason = "reject access to this url";
        verdict = early_verdict::block;
        request.outcome.decision = "block-mime";
        break;
    default:
        vrx_log(log_level::error, "icap_select_preview_behavior: wrong val=%i\n", action);
        return early_verdict::scan;
    }
    log_decision(request, rule_text, reason, verdict);
    return verdict;
}
