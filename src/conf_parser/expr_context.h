#pragma once
// The evaluation context of match conditions: the values of the variables
// they test. The request path binds it to the request being served
// (request/request_expr_context.h).

#include <stdexcept>
#include <string>

#include "conf_parser/cf_values.h"

class expr_context {
public:
    class var_not_found : public std::runtime_error {
    public:
        explicit var_not_found(const std::string& name)
            : std::runtime_error("Unknown variable: " + name) {}
    };

    virtual ~expr_context() = default;

    // Names are compared exactly; an unknown name (or one of another type)
    // raises var_not_found.
    virtual std::string get_string(const std::string& name) const = 0;  // request_url, request_username
    virtual time_of_day get_time(const std::string& name) const = 0;    // system_time
    // request_ip; null when the client address is empty or unreadable.
    virtual cidr_ptr get_cidr(const std::string& name) const = 0;
};
