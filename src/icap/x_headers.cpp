#include "icap/x_headers.h"

#include <cstring>

#include "base/log.h"
#include "icap/http_header.h"
#include "scan/scan_report.h"

namespace {

constexpr size_t threat_list_cut = 80;
constexpr size_t threat_list_max = 9999;

// Flags of the phrase table.
constexpr unsigned not_after_bit8 = 0x2;
constexpr unsigned path_ends_here = 0x4;
constexpr unsigned bit8 = 0x8;
constexpr unsigned not_after_bit32 = 0x10;
constexpr unsigned bit32 = 0x20;
constexpr unsigned threat_follows = 0x40;

struct phrase_row {
    const char* phrase;
    unsigned flags;
    bool violation;
    unsigned id;
    int disposition;
};

// The scanning daemon's phrases, searched in this order.
const phrase_row phrases[] = {
    {" - ", 0x4, false, 0x0, 0},
    {"Ok", 0x0, false, 0x100000, 0},
    {"probably infected with", 0x48, true, 0x40, 0},
    {"infected with modification of", 0x40, true, 0x80, 0},
    {"infected with", 0x42, true, 0x20, 0},
    {"packed by", 0x40, false, 0x0, 2},
    {"contains an advertising software", 0x40, true, 0x400000, 0},
    {"contains a dialer program", 0x40, true, 0x800000, 0},
    {"contains a joke (hoax) program", 0x40, true, 0x1000000, 0},
    {"contains a potentially dangerous software", 0x40, true, 0x2000000, 0},
    {"contains an intrusion tool", 0x40, true, 0x4000000, 0},
    {"archive", 0x0, false, 0x0, 2},
    {"password protected, skipped", 0x0, true, 0x1000, 0},
    {"ignored because a link to scanned path", 0x0, false, 0x1000, 0},
    {"ignored because is specified in the ExcludePaths option", 0x0, false, 0x1000, 0},
    {"write error!", 0x0, true, 0x2, 0},
    {"read error!", 0x0, true, 0x1, 0},
    {"cannot open file with error: ", 0x0, true, 0x1, 0},
    {"no memory", 0x0, true, 0x4, 0},
    {"cannot get file attributes with error: ", 0x0, true, 0x1, 0},
    {"header CRC error!", 0x20, true, 0x8, 0},
    {"CRC error!", 0x10, true, 0x8, 2},
    {"decompression error!", 0x0, true, 0x8017, 2},
    {"cured!", 0x0, true, 0x100, 1},
    {"moved!", 0x0, true, 0x0, 0},
    {"deleted!", 0x0, true, 0x80000, 1},
    {"renamed!", 0x0, true, 0x0, 0},
    {"ignored!", 0x0, true, 0x0, 0},
    {"nesting limit!", 0x0, true, 0x40000, 2},
    {"immunized by", 0x40, false, 0x0, 0},
    {"not enough memory to extract!", 0x0, true, 0x4, 0},
    {"eradicated!", 0x0, true, 0x0, 0},
    {"splitted file, skipped", 0x0, true, 0x1000, 0},
    {"file too large, skipped", 0x0, true, 0x1000, 0},
    {"the size of the file is equal to zero, skipped", 0x0, true, 0x1000, 0},
    {"error operating with file's memory image!", 0x0, true, 0x4, 0},
    {"unknown file type, skipped", 0x0, true, 0x4, 0},
};
constexpr int phrase_count = sizeof phrases / sizeof phrases[0];

std::string trim(const std::string& text) {
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return std::string();
    return text.substr(start, text.find_last_not_of(" \t\r\n") - start + 1);
}

// The end of the URL after its last "/", or the whole URL.
std::string message_file_name(const std::string& url) {
    size_t slash = url.rfind('/');
    if (slash == std::string::npos || slash + 1 == url.size())
        return url;
    return url.substr(slash + 1);
}

// Walks one report line through the phrase table; the last phrase taken
// decides. Returns false when the line yields no violation.
bool line_violation(const std::string& line, int& row, std::string& object, std::string& threat) {
    int last = -1;
    size_t last_at = 0;
    object.clear();
    for (size_t pos = 0;;) {
        int taken = -1;
        size_t at = std::string::npos;
        for (int i = 0; i < phrase_count; ++i) {
            if (last >= 0 && (phrases[i].flags & not_after_bit8) && (phrases[last].flags & bit8))
                continue;
            if (last >= 0 && (phrases[i].flags & not_after_bit32) && (phrases[last].flags & bit32))
                continue;
            at = line.find(phrases[i].phrase, pos);
            if (at != std::string::npos) {
                taken = i;
                break;
            }
        }
        if (taken < 0)
            break;
        if (phrases[taken].flags & path_ends_here) {
            size_t slash = line.find('/');
            if (slash == std::string::npos || slash >= at)
                return false;
            object = line.substr(slash, at - slash);
        }
        last = taken;
        last_at = at;
        pos = at + 1;
    }
    if (last < 0 || !phrases[last].violation)
        return false;
    if (phrases[last].flags & threat_follows) {
        size_t slash = line.find('/');
        size_t end = last_at == 0 ? 0 : last_at - 1;
        if (slash == std::string::npos || slash >= end)
            return false;
        object = line.substr(slash, end - slash);
    }
    size_t threat_start = last_at + strlen(phrases[last].phrase) + 1;
    threat = threat_start < line.size() ? trim(line.substr(threat_start)) : std::string();
    row = last;
    return true;
}

}  // namespace

std::string threat_list_text(const std::vector<virus_entry>& viruses) {
    std::string text;
    for (size_t i = 0; i < viruses.size(); ++i) {
        if (i > 0) {
            if (text.size() >= threat_list_cut) {
                text += ", ...";
                break;
            }
            text += ", ";
        }
        text += viruses[i].name;
    }
    return text.substr(0, threat_list_max);
}

std::vector<violation> find_violations(const std::vector<std::string>& report, const std::string& message_file) {
    std::vector<violation> found;   // newest last while collecting
    for (const std::string& line : report) {
        int row = 0;
        std::string object;
        std::string threat;
        if (!line_violation(line, row, object, threat))
            continue;
        vrx_log(log_level::debug, "For str [%s]: file [%s] code=%i opt=[%s]\n", line.c_str(), object.c_str(),
                row, threat.c_str());
        if (!g_last_temp_file.empty() && object.compare(0, g_last_temp_file.size(), g_last_temp_file) == 0)
            object.erase(0, g_last_temp_file.size());
        std::string file = message_file + object;
        if (file.empty())
            file = "-";
        if (object.empty() && !found.empty() && found.back().file_name == file) {
            found.back().id = phrases[row].id;
            found.back().disposition = phrases[row].disposition;
            continue;
        }
        found.push_back({file, threat, phrases[row].id, phrases[row].disposition});
    }
    return std::vector<violation>(found.rbegin(), found.rend());
}

void add_x_headers(std::string& head, const request_state& request) {
    std::string threats = header_safe(threat_list_text(request.viruses_list));
    head += "\r\nX-Virus-ID: " + threats;
    head += "\r\nX-Infection-Found: Type=" + std::to_string(request.infection_type) +
            "; Resolution=" + std::to_string(request.resolution) + "; Threat=" + threats + ";";
    std::vector<violation> violations = find_violations(greport.report, message_file_name(request.url));
    if (violations.empty())
        return;
    head += "\r\nX-Violations-Found: " + std::to_string(violations.size());
    char id[16];
    for (const violation& v : violations) {
        snprintf(id, sizeof id, "%x", v.id);
        head += "\r\n\t" + header_safe(v.file_name) + "\r\n\t" + header_safe(v.threat) + "\r\n\t" + id + "\r\n\t" +
                std::to_string(v.disposition);
    }
}
