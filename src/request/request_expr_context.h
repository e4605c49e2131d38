#pragma once
// The evaluation context of one request: the match variables read from the
// request being served.

#include "conf_parser/expr_context.h"

struct request_state;

class request_expr_context : public expr_context {
public:
    explicit request_expr_context(const request_state& request) : request_(request) {}

    std::string get_string(const std::string& name) const override;
    time_of_day get_time(const std::string& name) const override;
    cidr_ptr get_cidr(const std::string& name) const override;

private:
    const request_state& request_;
};
