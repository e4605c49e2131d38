// The request's binding of the match variables.

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "request/request_expr_context.h"
#include "request/request_state.h"

namespace {

TEST(expr_variables, context_refuses_names_of_other_types) {
    const request_state r;
    const request_expr_context ctx(r);
    const struct {
        std::function<void()> lookup;
        const char* name;
    } cases[] = {
        {[&] { ctx.get_string("request_ip"); }, "request_ip"},
        {[&] { ctx.get_string("REQUEST_URL"); }, "REQUEST_URL"},
        {[&] { ctx.get_time("request_url"); }, "request_url"},
        {[&] { ctx.get_cidr("system_time"); }, "system_time"},
    };
    for (const auto& c : cases) {
        try {
            c.lookup();
            ADD_FAILURE() << "found " << c.name;
        } catch (const expr_context::var_not_found& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Unknown variable: ") + c.name);
        }
    }
}

}  // namespace
