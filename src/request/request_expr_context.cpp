#include "request/request_expr_context.h"

#include <ctime>

#include "base/log.h"
#include "request/request_state.h"

std::string request_expr_context::get_string(const std::string& name) const {
    if (name == "request_url")
        return request_.url;
    if (name == "request_username")
        return request_.username;
    throw var_not_found(name);
}

time_of_day request_expr_context::get_time(const std::string& name) const {
    if (name != "system_time")
        throw var_not_found(name);
    // Outside a request there is no start time; the current time stands in.
    const time_t when = request_.start_time == -1 ? time(nullptr) : request_.start_time;
    tm local{};
    localtime_r(&when, &local);
    return time_of_day{local.tm_hour, local.tm_min};
}

cidr_ptr request_expr_context::get_cidr(const std::string& name) const {
    if (name != "request_ip")
        throw var_not_found(name);
    try {
        return make_cidr(request_.client_ip);
    } catch (const make_cidr_error&) {
        vrx_log(log_level::debug,
                "Expanding request_ip variable: error parsing cidr from \"%s\", using \"undefined\" value\n",
                request_.client_ip.c_str());
        return cidr_ptr();
    }
}
