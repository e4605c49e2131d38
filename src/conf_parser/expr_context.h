#pragma once
// The evaluation context of one request: the values of the variables that
// match conditions test, read from the request being served.

#include <stdexcept>
#include <string>

#include "conf_parser/cf_values.h"

struct request_state;

class expr_context {
public:
    class var_not_found : public std::runtime_error {
    public:
        explicit var_not_found(const std::string& name)
            : std::runtime_error("Unknown variable: " + name) {}
    };

    explicit expr_context(const request_state& request) : request_(request) {}

    // Names are compared exactly; an unknown name (or one of another type)
    // raises var_not_found.
    std::string get_string(const std::string& name) const;  // request_url, request_username
    time_of_day get_time(const std::string& name) const;    // system_time
    // request_ip; null when the client address is empty or unreadable.
    cidr_ptr get_cidr(const std::string& name) const;

private:
    const request_state& request_;
};
