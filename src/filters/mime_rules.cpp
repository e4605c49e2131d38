#include "filters/mime_rules.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sstream>
#include <strings.h>

#include "base/load_failure.h"
#include "base/log.h"

namespace {

// Limits are compared with 64-bit content lengths as written; only a limit
// beyond 64 bits saturates, so that it never wraps.
constexpr int64_t limit_max = INT64_MAX;
constexpr size_t name_max = 255;

bool iequals(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// "inf" gives 0; otherwise a decimal number with an optional unit letter
// M, K or B (either case); a bare number counts in kilobytes.
bool parse_size(const std::string& word, int64_t* size)
{
    if (iequals(word, "inf")) {
        *size = 0;
        return true;
    }
    const char unit = static_cast<char>(tolower(static_cast<unsigned char>(word.back())));
    int64_t scale = 1024;
    size_t digits = word.size();
    if (unit == 'm' || unit == 'k' || unit == 'b') {
        scale = unit == 'm' ? 1048576 : unit == 'k' ? 1024 : 1;
        --digits;
    } else if (!isdigit(static_cast<unsigned char>(unit))) {
        return false;
    }
    if (digits == 0)
        return false;
    int64_t value = 0;
    for (size_t i = 0; i < digits; ++i) {
        if (!isdigit(static_cast<unsigned char>(word[i])))
            return false;
        const int digit = word[i] - '0';
        value = value > (limit_max - digit) / 10 ? limit_max : value * 10 + digit;
    }
    *size = value > limit_max / scale ? limit_max : value * scale;
    return true;
}

// Reads an action word and, after "reject", its option; false with the
// message logged when either is wrong.
bool read_action(std::istringstream& words, int32_t* action, int32_t* option)
{
    std::string word;
    words >> word;
    if (iequals(word, "scan") || iequals(word, "pass")) {
        *action = iequals(word, "scan") ? mime_scan : mime_pass;
        *option = 0;
        return true;
    }
    if (!iequals(word, "reject")) {
        vrx_log(log_level::error, "waiting for scan | reject | pass but have: %s\n", word.c_str());
        return false;
    }
    std::string option_word;
    words >> option_word;
    if (!iequals(option_word, "-trunc") && !iequals(option_word, "-report")) {
        vrx_log(log_level::error, "waiting for -trunc | -report but have: %s\n", option_word.c_str());
        return false;
    }
    *action = mime_reject;
    *option = iequals(option_word, "-trunc") ? mime_option_trunc : mime_option_report;
    return true;
}

mime_rule& find_or_append(std::list<mime_rule>& level, const std::string& name)
{
    for (mime_rule& rule : level)
        if (iequals(rule.name, name))
            return rule;
    try {
        level.push_back(mime_rule());
    } catch (const std::bad_alloc&) {
        perror("Error in find_target_mime memory take");
        exit(1);
    }
    level.back().name = name;
    return level.back();
}

void parse_line(const std::string& line, std::list<mime_rule>& level1, std::list<mime_rule>& level2)
{
    std::istringstream words(line);
    std::string type;
    words >> type;
    if (type.size() > name_max) {
        vrx_log(log_level::error, "in parse mime type %s\n", type.c_str());
        throw load_failure(7, "in parse mime type " + type);
    }
    mime_rule& rule = find_or_append(type.find('/') != std::string::npos ? level2 : level1, type);
    if (!read_action(words, &rule.action1, &rule.option1)) {
        vrx_log(log_level::error, "in parse mime type %s\n", type.c_str());
        throw load_failure(7, "in parse mime type " + type);
    }
    std::string limit;
    if (!(words >> limit)) {
        vrx_log(log_level::error, "Wrong mime syntax\n");
        throw load_failure(7, "Wrong mime syntax");
    }
    if (iequals(limit, "all")) {
        rule.limit = -1;
        return;
    }
    if (!parse_size(limit, &rule.limit)) {
        vrx_log(log_level::error, "in parser mime type %s (waiting for size)\n", limit.c_str());
        throw load_failure(1, "in parser mime type " + limit + " (waiting for size)");
    }
    if (!read_action(words, &rule.action2, &rule.option2)) {
        vrx_log(log_level::error, "in parse mime type %s\n", limit.c_str());
        throw load_failure(7, "in parse mime type " + limit);
    }
}

std::string trim(const std::string& line)
{
    const char* blanks = " \t\r\n\v\f";
    const size_t first = line.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

// The media type of a Content-Type value, without parameters.
std::string media_type(const std::string& content_type)
{
    return trim(content_type.substr(0, content_type.find(';')));
}

void append_action_word(std::string& text, int32_t action, int32_t option)
{
    switch (action) {
    case mime_scan:
        text += "scan";
        return;
    case mime_pass:
        text += "pass";
        return;
    case mime_reject:
        text += "reject";
        if (option == mime_option_trunc)
            text += " -trunc";
        else if (option == mime_option_report)
            text += " -report";
        else
            vrx_log(log_level::error, "Wrong token option = %i\n", option);
        return;
    default:
        vrx_log(log_level::error, "Wrong token type = %i\n", action);
    }
}

int32_t rule_answer(const mime_rule& rule, int64_t length, int32_t* option)
{
    const bool first = rule.limit == -1 || length <= rule.limit;
    const int32_t action = first ? rule.action1 : rule.action2;
    if (action == mime_reject && option)
        *option = first ? rule.option1 : rule.option2;
    return action;
}

}  // namespace

mime_rules::mime_rules()
{
    reset();
}

void mime_rules::reset()
{
    release();
    mime_rule& all = level1_.front();
    all = mime_rule();
    all.name = "*";
}

void mime_rules::release()
{
    if (level1_.empty())
        level1_.emplace_back();
    level1_.resize(1);
    level2_.clear();
}

void mime_rules::parse_block(std::istream& body)
{
    std::string line;
    while (std::getline(body, line) && !iequals(line, "MimeEnd")) {
        const std::string rule_line = trim(line);
        if (!rule_line.empty())
            parse_line(rule_line, level1_, level2_);
    }
    for (const mime_rule& rule : level1_)
        vrx_log(log_level::debug, "%s\n", rule_text("mime_level1:", rule).c_str());
    for (const mime_rule& rule : level2_)
        vrx_log(log_level::debug, "%s\n", rule_text("mime_level2:", rule).c_str());
}

int32_t mime_rules::decide(const std::string& content_type, int64_t length, int32_t* option,
                           const mime_rule** rule) const
{
    const std::string type = media_type(content_type);
    const size_t slash = type.find('/');
    const mime_rule* decider = nullptr;
    if (slash != std::string::npos) {
        for (const mime_rule& r : level2_)
            if (iequals(r.name, type)) {
                decider = &r;
                break;
            }
    }
    if (!decider) {
        const std::string major = slash == std::string::npos ? std::string() : type.substr(0, slash);
        const mime_rule* fallback = nullptr;
        for (const mime_rule& r : level1_) {
            if (r.name == "*") {
                fallback = &r;
                if (slash == std::string::npos)
                    break;
            } else if (slash != std::string::npos && iequals(r.name, major)) {
                decider = &r;
                break;
            }
        }
        if (!decider)
            decider = fallback;
    }
    if (rule)
        *rule = decider;
    return rule_answer(*decider, length, option);
}

std::string mime_rules::rule_text(const char* prefix, const mime_rule& rule)
{
    std::string text = prefix;
    text += ' ';
    text += rule.name;
    text += " = [";
    append_action_word(text, rule.action1, rule.option1);
    if (rule.limit == -1) {
        text += " all";
    } else {
        text += " <= " + std::to_string(rule.limit) + " > ";
        append_action_word(text, rule.action2, rule.option2);
    }
    text += "]";
    return text;
}
