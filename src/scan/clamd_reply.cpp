#include "scan/clamd_reply.h"

#include <cctype>
#include <cstdlib>

namespace {

bool starts_with(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool ends_with(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size()
           && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

uint32_t clamd_threat_code(const std::string& name)
{
    if (starts_with(name, "Heuristics.Limits.Exceeded"))
        return clamd_code::skipped;
    if (starts_with(name, "Heuristics.Encrypted"))
        return clamd_code::archive;
    if (starts_with(name, "Heuristics."))
        return clamd_code::suspicious;
    if (starts_with(name, "PUA.")) {
        if (name.find("Adware") != std::string::npos)
            return clamd_code::adware;
        if (name.find("Tool") != std::string::npos)
            return clamd_code::hacktool;
        return clamd_code::riskware;
    }
    return clamd_code::infected;
}

clamd_scan_answer clamd_read_scan_reply(const std::string& reply)
{
    clamd_scan_answer answer;
    if (reply == "INSTREAM size limit exceeded. ERROR") {
        answer.usable = true;
        answer.code = clamd_code::skipped;
        return answer;
    }
    // "<object>: OK" or "<object>: <name> FOUND"; the object is "stream" or
    // "fd[N]" here, never a path that could hold ": " itself.
    size_t colon = reply.find(": ");
    if (colon == std::string::npos)
        return answer;
    std::string verdict = reply.substr(colon + 2);
    if (verdict == "OK") {
        answer.usable = true;
        return answer;
    }
    const std::string found = " FOUND";
    if (ends_with(verdict, found) && verdict.size() > found.size()) {
        answer.threat = verdict.substr(0, verdict.size() - found.size());
        answer.usable = true;
        answer.code = clamd_threat_code(answer.threat);
    }
    return answer;
}

unsigned long clamd_database_version(const std::string& version)
{
    size_t slash = version.find('/');
    if (slash == std::string::npos || slash + 1 >= version.size()
        || !isdigit(static_cast<unsigned char>(version[slash + 1])))
        return 0;
    return strtoul(version.c_str() + slash + 1, nullptr, 10);
}

bool clamd_split_numbered(const std::string& reply, unsigned long* number, std::string* text)
{
    size_t digits = 0;
    while (digits < reply.size() && isdigit(static_cast<unsigned char>(reply[digits])))
        ++digits;
    if (digits == 0 || digits > 9 || reply.compare(digits, 2, ": ") != 0)
        return false;
    *number = strtoul(reply.c_str(), nullptr, 10);
    *text = reply.substr(digits + 2);
    return true;
}
