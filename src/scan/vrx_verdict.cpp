#include "scan/vrx_verdict.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"
#include "scan/agent_stat.h"
#include "scan/file_with_path.h"
#include "scan/report_page.h"
#include "scan/vrx_mail.h"
#include "settings/icapd_config.h"

namespace {

std::string g_action_text;

const char* const tmpl_denied = "/ERR_ACCESS_DENIED";
const char* const tmpl_moved = "/ERR_ACCESS_DENIED_MOVED";
const char* const tmpl_failed = "/ERR_FAILED_CHECK";

struct verdict_row {
    uint32_t mask;
    int32_t icapd_config::*setting;
    const char* reason;
    const char* template_name;
    int32_t infection_type;
    int32_t resolution;
};

// Tested in this order after the infected rows; the first match decides.
const verdict_row verdict_rows[] = {
    {0x40, &icapd_config::suspicious, "File is cured from an unknown virus!", tmpl_denied, 0, 0},
    {0x46000, &icapd_config::archive_restriction, "Archive restriction!", tmpl_failed, 2, 2},
    {code_daemon_error, &icapd_config::daemon_error,
     "Daemon error has occured during check of this file!", tmpl_failed, 2, 2},
    {0x1E08, &icapd_config::skip_object,
     "Skip object error has occured during check of this file!", tmpl_failed, 2, 2},
    {0x400000, &icapd_config::adware, "This is adware program!", tmpl_denied, 0, 0},
    {0x800000, &icapd_config::dialers, "This is dialer program!", tmpl_denied, 0, 0},
    {0x1000000, &icapd_config::jokes, "This is joke program!", tmpl_denied, 0, 0},
    {0x2000000, &icapd_config::riskware, "This is riskware program!", tmpl_denied, 0, 0},
    {0x4000000, &icapd_config::hacktools, "This is hacktool program!", tmpl_denied, 0, 0},
};

const verdict_row infected_cured = {0, &icapd_config::infected, "File is cured from known virus!",
                                    tmpl_denied, 0, 1};
const verdict_row infected_incurable = {0, &icapd_config::incurable,
                                        "File is infected and cannot be cured!", tmpl_denied, 0, 0};

// Archive restrictions, daemon errors and skipped objects leave the body
// without a verdict: scan errors, not threats.
bool is_scan_error(const verdict_row* row)
{
    return row->setting == &icapd_config::archive_restriction ||
           row->setting == &icapd_config::daemon_error || row->setting == &icapd_config::skip_object;
}

// "virus:cure", "virus:report"... from the action text, or "scan-error".
std::string decision_word(const verdict_row* row)
{
    if (is_scan_error(row))
        return "scan-error";
    std::string word = "virus:" + g_action_text;
    for (char& c : word)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return word;
}

const verdict_row* find_row(uint32_t code)
{
    if (code & 0xA0)
        return (code & 0x80100) ? &infected_cured : &infected_incurable;
    for (const verdict_row& row : verdict_rows)
        if (code & row.mask)
            return &row;
    return nullptr;
}

// Moves the body into quarantine under a name no earlier file has; the name
// it got becomes the request's quarantine name.
bool move_to_quarantine(request_state& request, entity_record& entity, std::string* moved_to)
{
    FileWithPath& name = quarantine_name(request);
    const FileWithPath base = name;
    FileWithPath candidate = base;
    for (unsigned suffix = 1;; ++suffix) {
        // link() never replaces an existing file, even with concurrent workers.
        if (link(entity.temp_path.c_str(), candidate.full_name().c_str()) == 0)
            break;
        if (errno != EEXIST || suffix > 100000)
            return false;
        candidate = base.with_suffix("." + std::to_string(suffix), quarantine_name_limit());
    }
    // The body's file is rewritten as the report page next: it must not
    // share its data with the quarantined copy.
    if (unlink(entity.temp_path.c_str()) != 0) {
        int saved = errno;
        unlink(candidate.full_name().c_str());
        errno = saved;
        return false;
    }
    name = candidate;
    *moved_to = candidate.full_name();
    return chmod(moved_to->c_str(), static_cast<mode_t>(g_config.quarantine_files_mode)) == 0;
}

int build_page(request_state& request, entity_record& entity, const char* template_name,
               bool daemon_failed)
{
    return make_report_page(request, &entity, template_name, nullptr, daemon_failed) == 200 ? 4 : 0;
}

int make_action(request_state& request, entity_record& entity, int32_t action,
                const char* reason, const char* template_name, bool daemon_failed)
{
    int result = 0;
    const char* log_word = nullptr;
    std::string file_text;
    switch (action) {
    case action_pass:
        if (g_action_text.empty())
            g_action_text = "Pass";
        result = vrx_pass_file(entity);
        log_word = "pass";
        break;
    case action_truncate:
        g_action_text = "Truncate";
        result = truncate_file(entity);
        log_word = "truncate";
        break;
    case action_move: {
        if (entity.file) {
            fclose(entity.file);
            entity.file = nullptr;
        }
        entity.size = 0;
        template_name = tmpl_moved;
        std::string moved_to;
        bool moved = false;
        try {
            moved = move_to_quarantine(request, entity, &moved_to);
            if (!moved)
                vrx_log(log_level::error, "error in rename to file [%s]: %s\n",
                        quarantine_name(request).full_name().c_str(), strerror(errno));
        } catch (const std::range_error& e) {
            // No usable quarantine name: the body still gets its page.
            vrx_log(log_level::error, "vrx_make_action_on_file: %s\n", e.what());
        }
        if (moved) {
            g_action_text = "Move";
            log_word = "quarantine to file";
            file_text = moved_to;
        } else {
            g_action_text = "Report";
            log_word = "report";
        }
        result = build_page(request, entity, template_name, daemon_failed);
        break;
    }
    case action_report:
        g_action_text = "Report";
        log_word = "report";
        result = build_page(request, entity, template_name, daemon_failed);
        break;
    default:
        vrx_log(log_level::error, "vrx_make_action_on_file: wrong type=%i\n", action);
        return 0;
    }
    if (!file_text.empty())
        vrx_log(log_level::warn, "%s: %s %s\n", reason, log_word, file_text.c_str());
    else
        vrx_log(log_level::warn, "%s: %s\n", reason, log_word);
    if (result != 0 && action != action_pass && g_config.send_mail)
        vrx_report_file(request, entity, reason, log_word, template_name, "");
    if (g_config.send_stat || g_config.send_urls_with_viruses)
        send_agent_stat(request, file_text);
    return result;
}

} // namespace

int vrx_make_action_on_file(request_state& request, entity_record& entity, int32_t action,
                            const char* reason, const char* template_name)
{
    return make_action(request, entity, action, reason, template_name, false);
}

int vrx_check_result(uint32_t code, entity_record& entity, request_state& request)
{
    const verdict_row* row = find_row(code);
    if (!row) {
        auto k = static_cast<unsigned long long>(entity.size / 1024 + 1);
        if (!request.client_ip.empty())
            vrx_log(log_level::info, "url:[%s]; client_ip:[%s]; size=%lluk - ok\n",
                    request.url.c_str(), request.client_ip.c_str(), k);
        else
            vrx_log(log_level::info, "url:[%s]; size=%lluk - ok\n", request.url.c_str(), k);
        return 200;
    }
    // Pages about a daemon error do not ask the daemon for its details.
    bool daemon_failed = row->setting == &icapd_config::daemon_error;
    int result = make_action(request, entity, g_config.*(row->setting), row->reason,
                             row->template_name, daemon_failed);
    request.infection_type = row->infection_type;
    request.resolution = row->resolution;
    if (row == &infected_cured)
        g_action_text = "Cure";
    request.outcome.decision = decision_word(row);
    return result;
}

int vrx_pass_file(entity_record& entity)
{
    // "a+" keeps the content, a body cured by the daemon included; "e"
    // keeps the body from the mail command.
    FILE* file = entity.file ? freopen(entity.temp_path.c_str(), "a+e", entity.file)
                             : fopen(entity.temp_path.c_str(), "a+e");
    entity.file = file;
    if (!file) {
        vrx_log(log_level::error, "vrx_pass_file: can not open temp file %s: %s\n",
                entity.temp_path.c_str(), strerror(errno));
        return 0;
    }
    rewind(file);
    struct stat st;
    if (fstat(fileno(file), &st) != 0) {
        vrx_log(log_level::error, "vrx_pass_file: can not call fstat for %s: %s\n",
                entity.temp_path.c_str(), strerror(errno));
        return 0;
    }
    entity.size = static_cast<uint64_t>(st.st_size);
    return 3;
}

int truncate_file(entity_record& entity)
{
    FILE* file = entity.file ? freopen(entity.temp_path.c_str(), "w+e", entity.file)
                             : fopen(entity.temp_path.c_str(), "w+e");
    entity.file = file;
    if (!file) {
        vrx_log(log_level::info, "can not open temp file for truncate %s: %s\n",
                entity.temp_path.c_str(), strerror(errno));
        return 0;
    }
    entity.size = 0;
    return 3;
}

const std::string& vrx_action_text()
{
    return g_action_text;
}

void verdict_reset()
{
    g_action_text.clear();
    quarantine_name_reset();
}
