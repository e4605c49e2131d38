#include "conf_parser/cf_values.h"

#include <cctype>
#include <cstring>
#include <limits>
#include <locale>
#include <sstream>

#include <boost/lexical_cast.hpp>

namespace {

// Upper-case comparison in the process locale.
bool equal_upper(const std::string& text, const char* upper) {
    const size_t n = std::strlen(upper);
    if (text.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(upper[i]))
            return false;
    return true;
}

}  // namespace

bool parse_bool(const std::string& text) {
    if (equal_upper(text, "TRUE") || equal_upper(text, "YES"))
        return true;
    if (equal_upper(text, "FALSE") || equal_upper(text, "NO"))
        return false;
    throw std::runtime_error("Error parsing bool");
}

uint64_t parse_size(const std::string& text) {
    static const char* const error = "Error parsing size";
    if (text.empty())
        throw std::runtime_error(error);
    if (equal_upper(text, "INF"))
        return 0;

    uint64_t number = 0;
    bool wrapped = false;
    size_t pos = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        const unsigned digit = text[pos] - '0';
        if (number > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            wrapped = true;
        number = number * 10 + digit;
    }
    if (pos == 0)
        throw std::runtime_error(error);

    uint64_t factor = 1024;
    uint64_t limit = (uint64_t(1) << 54) - 1;
    if (pos < text.size()) {
        switch (text[pos]) {
        case 'k':
        case 'K':
            break;
        case 'm':
        case 'M':
            factor = 1048576;
            limit = (uint64_t(1) << 44) - 1;
            break;
        case 'b':
            factor = 1;
            limit = std::numeric_limits<uint64_t>::max();
            break;
        default:
            throw std::runtime_error(error);
        }
    }
    // A number too long for 64 bits is too large for every unit. The
    // overflow is reported before anything written after the unit.
    if (wrapped || number > limit)
        throw std::overflow_error(std::string(error) + ": overflow");
    if (pos + 1 < text.size())
        throw std::runtime_error(error);
    return number * factor;
}

int32_t parse_digital_t(const std::string& text) {
    static const char* const error = "Error parsing digital_t";
    if (text.empty())
        throw std::runtime_error(error);
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    int32_t number = 0;
    in >> number;
    if (in.fail() || in.peek() != std::char_traits<char>::eof())
        throw std::runtime_error(error);
    return number;
}

bool operator<(const time_of_day& a, const time_of_day& b) {
    return a.hour < b.hour || (a.hour == b.hour && a.minute < b.minute);
}
bool operator>(const time_of_day& a, const time_of_day& b) { return b < a; }
bool operator<=(const time_of_day& a, const time_of_day& b) { return !(b < a); }
bool operator>=(const time_of_day& a, const time_of_day& b) { return !(a < b); }

namespace {

time_of_day read_time(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        throw std::runtime_error("no colon");
    const std::string hour = text.substr(0, colon);
    const std::string minute = text.substr(colon + 1);
    if (hour.empty() || hour.size() > 2)
        throw std::runtime_error("invalid hour");
    if (minute.size() != 2)
        throw std::runtime_error("invalid minutes");
    const unsigned h = boost::lexical_cast<unsigned>(hour);
    const unsigned m = boost::lexical_cast<unsigned>(minute);
    if (h >= 24 || m >= 60)
        throw std::runtime_error("values out of range");
    return time_of_day{static_cast<int32_t>(h), static_cast<int32_t>(m)};
}

}  // namespace

time_of_day parse_time(const std::string& text) {
    try {
        return read_time(text);
    } catch (const std::exception& e) {
        throw std::runtime_error("Error parsing time from string \"" + text + "\": " + e.what());
    }
}
