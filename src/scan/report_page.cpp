#include "scan/report_page.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>

#include "base/log.h"
#include "scan/engine_version.h"
#include "scan/file_with_path.h"
#include "scan/scan_engine.h"
#include "scan/scan_report.h"
#include "scan/vrx_client.h"
#include "settings/icapd_config.h"

namespace {

constexpr size_t macro_max = 9999;     // collected macro text and formatted values
constexpr size_t short_url_max = 60;
// Where the manual-submission form of a blocked page posts to.
constexpr const char* submit_address = "http://submit.vorex.example/post_link/";

std::string cut(const std::string& text) { return text.substr(0, macro_max); }

std::string short_url(const std::string& url) {
    if (url.size() <= short_url_max)
        return url;
    return url.substr(0, short_url_max - 3) + "...";
}

std::string local_date() {
    char text[256];
    time_t now = time(nullptr);
    struct tm parts;
    localtime_r(&now, &parts);
    size_t n = strftime(text, sizeof text, "%X %x", &parts);
    return std::string(text, n);
}

std::string quarantine_file_name(const request_state& request) {
    try {
        return quarantine_name(request).file_name();
    } catch (const std::exception&) {
        return std::string();   // a URL that leaves no usable name
    }
}

// The last known description: a report page never waits on the engine.
std::string release_text() {
    std::string text = engine_release_text();
    return text.empty() ? std::string("unknown") : text;
}

// The daemon's words about each object, without the temporary file's path
// (or the "DATA" that stands for streamed data).
macro_result write_daemon_report(FILE* out, bool daemon_failed) {
    auto& lines = greport.report;
    if (lines.empty() &&
        !(scanning_configured() && !daemon_failed && configured_engine().get_info() == 200))
        lines.push_back("DATA Communication error with Vorex (R) daemon");
    vrx_log(log_level::headers, "parse_template: %i strings in report\n", static_cast<int>(lines.size()));
    for (const std::string& line : lines) {
        vrx_log(log_level::wire, "  %s\n", line.c_str());
        size_t start = 0;
        size_t found = g_config.cache.empty() ? std::string::npos : line.find(g_config.cache);
        if (found != std::string::npos)
            start = found + g_config.cache.size();
        else if ((found = line.find("DATA")) != std::string::npos)
            start = found;
        while (start < line.size() && !strchr(" \t\r\n/", line[start]))
            ++start;
        std::string text = html_escape(line.substr(start));
        if (text.empty() || text.back() != '\n')
            text += '\n';   // one object per line, also when the lines come without it
        if (fwrite(text.data(), 1, text.size(), out) != text.size()) {
            vrx_log(log_level::error, "error writing template: %s\n", strerror(errno));
            return macro_failed;
        }
    }
    return macro_written;
}

std::string submit_form(const request_state& request, const std::string& caption) {
    std::string names;
    for (const virus_entry& v : request.viruses_list) {
        if (!names.empty())
            names += ';';
        names += v.name;
    }
    return std::string("<form action=\"") + submit_address + "\" method=\"post\">\n" +
           "<input type=\"hidden\" name=\"u\" value=\"" + html_escape(request.url) + "\">\n" +
           "<input type=\"hidden\" name=\"vn\" value=\"" + html_escape(names) + "\">\n" +
           "<input type=\"submit\" value=\"" + caption + "\">\n" + "</input>\n";
}

// The rest of the template line, line feed consumed and not kept.
std::string rest_of_line(FILE* in) {
    std::string text;
    int c;
    while ((c = getc(in)) != EOF && c != '\n')
        if (text.size() < macro_max)
            text += static_cast<char>(c);
    return text;
}

bool is_macro(const std::string& text, const char* name) { return strcasecmp(text.c_str(), name) == 0; }

// Flushes the pending output; false when it could not be written (logged).
bool write_pending(FILE* out, std::string& pending) {
    if (pending.empty())
        return true;
    bool ok = fwrite(pending.data(), 1, pending.size(), out) == pending.size();
    if (!ok) {
        vrx_log(log_level::error, "writing to pipe: %s\n", strerror(errno));
        if (fwrite(pending.data(), 1, pending.size(), out) != pending.size())
            vrx_log(log_level::error, "writing to pipe: %s\n", strerror(errno));
    }
    pending.clear();
    return ok;
}

}  // namespace

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

int copy_template(FILE* in, FILE* out, const char* find_log, const macro_handler& handler) {
    // Output runs one step behind the input: what was read last is written
    // just before the next character is handled.
    std::string pending;
    int c;
    while ((c = getc(in)) != EOF) {
        if (!write_pending(out, pending))
            return 200;
        if (c != '$') {
            pending = static_cast<char>(c);
            continue;
        }
        // A macro runs from this "$" to the next one. An unknown text is
        // written without its closing "$", which then opens the next macro.
        for (bool reopen = true; reopen;) {
            reopen = false;
            std::string macro = "$";
            int m = 0;
            while (macro.size() < macro_max && (m = getc(in)) != EOF) {
                macro += static_cast<char>(m);
                if (m == '$')
                    break;
            }
            if (m == EOF) {
                pending = macro;
                write_pending(out, pending);
                return 200;
            }
            vrx_log(log_level::wire, find_log, macro.c_str());
            std::string value;
            switch (handler(macro, in, out, value)) {
            case macro_value:
                pending = cut(value);
                break;
            case macro_written:
                break;
            case macro_failed:
                return 0;
            case macro_unknown:
                if (macro.size() > 1 && macro.back() == '$') {
                    pending = macro.substr(0, macro.size() - 1);
                    reopen = true;
                } else {
                    pending = macro;
                }
                if (!write_pending(out, pending))
                    return 200;
                break;
            }
        }
    }
    write_pending(out, pending);
    return 200;
}

int parse_template(FILE* tmpl, FILE* out, bool daemon_failed, request_state& request) {
    auto handler = [&](const std::string& macro, FILE* in, FILE* to, std::string& value) {
        if (is_macro(macro, "$HOSTMASTER$"))
            value = g_config.hostmaster;
        else if (is_macro(macro, "$URL$"))
            value = html_escape(cut(request.url));
        else if (is_macro(macro, "$URL_SHORT$"))
            value = html_escape(short_url(request.url));
        else if (is_macro(macro, "$VERSION$"))
            value = "6.0.0.0";
        else if (is_macro(macro, "$DATE$"))
            value = local_date();
        else if (is_macro(macro, "$FILE_NAME_ERROR$"))
            value = html_escape(cut(quarantine_file_name(request)));
        else if (is_macro(macro, "$RELEASE$"))
            value = html_escape(release_text());
        else if (is_macro(macro, "$DAEMON_REPORT$"))
            return write_daemon_report(to, daemon_failed);
        else if (is_macro(macro, "$MANUAL_SUBMIT$")) {
            std::string caption = rest_of_line(in);
            if (g_config.send_urls_with_viruses)
                return macro_written;
            value = submit_form(request, caption);
        } else
            return macro_unknown;
        return macro_value;
    };
    return copy_template(tmpl, out, "Find macros %s\n", handler);
}

int make_report_page(request_state& request, entity_record* entity, const char* template_name,
                     FILE* out, bool daemon_failed) {
    FILE* page = out;
    if (!page) {
        if (!entity)
            return 0;
        // "e": close-on-exec, so the mail command inherits no body file.
        page = entity->file ? freopen(entity->temp_path.c_str(), "w+e", entity->file)
                            : fopen(entity->temp_path.c_str(), "w+e");
        entity->file = page;
        if (!page) {
            vrx_log(log_level::error, "can`t open temp file [%s]: %s\n", entity->temp_path.c_str(),
                    strerror(errno));
            return 0;
        }
    }
    std::string path = (g_config.templates + template_name).substr(0, macro_max);
    FILE* tmpl = fopen(path.c_str(), "re");
    if (!tmpl) {
        vrx_log(log_level::error, "can`t open template - %s: %s\n", path.c_str(), strerror(errno));
        return 0;
    }
    int result = parse_template(tmpl, page, daemon_failed, request);
    fclose(tmpl);
    if (result == 0) {
        vrx_log(log_level::error, "in template creating\n");
        return 0;
    }
    if (out)
        return 200;
    fflush(page);
    struct stat st;
    if (fstat(fileno(page), &st) != 0) {
        vrx_log(log_level::error, "can`t call fstat - %s\n", strerror(errno));
        return 0;
    }
    entity->size = static_cast<uint64_t>(st.st_size);
    rewind(page);
    return 200;
}
