#include "conf_parser/cf_values.h"

namespace {

regex_t* compile(const std::string& pattern) {
    regex_t* re = new regex_t;
    if (regcomp(re, pattern.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0) {
        delete re;
        throw std::runtime_error("Invalid regex: \"" + pattern + "\"");
    }
    return re;
}

}  // namespace

void compiled_re::regex_free::operator()(regex_t* re) const {
    regfree(re);
    delete re;
}

compiled_re::compiled_re(const std::string& pattern) : pattern_(pattern), re_(compile(pattern)) {}

compiled_re::compiled_re(const compiled_re& other) : compiled_re(other.pattern_) {}

compiled_re& compiled_re::operator=(const compiled_re& other) {
    if (this != &other) {
        re_.reset(compile(other.pattern_));
        pattern_ = other.pattern_;
    }
    return *this;
}

bool compiled_re::match(const std::string& text) const {
    const int rc = regexec(re_.get(), text.c_str(), 0, nullptr, 0);
    if (rc == 0)
        return true;
    if (rc == REG_NOMATCH)
        return false;
    throw std::runtime_error("Error in regexec()");
}
