#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "conf_parser/cf_expr.h"
#include "support/temp_folder.h"
#include "request/request_expr_context.h"
#include "request/request_state.h"

namespace {

using namespace expr;
using str_value = value_ptr<string_type_traits>;
using time_value = value_ptr<time_type_traits>;
using cidr_value = value_ptr<cidr_type_traits>;

str_value str_var(const char* name) { return str_value(new value_var<string_type_traits>(name)); }
str_value str_const(const char* text) { return str_value(new value_const<string_type_traits>(text)); }
time_value time_var() { return time_value(new value_var<time_type_traits>("system_time")); }
time_value time_const(const char* text) { return time_value(new value_const<time_type_traits>(parse_time(text))); }
cidr_value ip_var() { return cidr_value(new value_var<cidr_type_traits>("request_ip")); }
cidr_value cidr_const(const char* text) { return cidr_value(new value_const<cidr_type_traits>(make_cidr(text))); }
value_ptr<regex_type_traits> regex_const(const char* pattern) {
    return value_ptr<regex_type_traits>(new value_const<regex_type_traits>(compiled_re(pattern)));
}

bool eval(const expression& e, const request_state& request) { return e.evaluate(request_expr_context(request)); }

request_state with_url(const char* url) {
    request_state r;
    r.url = url;
    return r;
}

request_state with_ip(const char* ip) {
    request_state r;
    r.client_ip = ip;
    return r;
}

// Local time of today at hour:minute.
time_t local_time(int hour, int minute) {
    const time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = 30;
    t.tm_isdst = -1;
    return mktime(&t);
}

// Boolean node that records its evaluations.
struct probe : expression {
    probe(bool result, std::vector<std::string>& log, std::string tag)
        : result(result), log(log), tag(std::move(tag)) {}
    bool evaluate(const expr_context&) const override {
        log.push_back(tag);
        return result;
    }
    void print(std::ostream&, int32_t) const override {}
    const char* name() const override { return "probe"; }
    bool result;
    std::vector<std::string>& log;
    std::string tag;
};

// Text operand that records when it is read.
struct probe_value : value<string_type_traits> {
    probe_value(std::vector<std::string>& log, std::string tag) : log(log), tag(std::move(tag)) {}
    std::string get(const expr_context&) const override {
        log.push_back(tag);
        return tag;
    }
    void print(std::ostream&, int32_t) const override {}
    const char* name() const override { return "probe_value"; }
    std::vector<std::string>& log;
    std::string tag;
};

TEST(expr_strings, equality_ignores_letter_case) {
    const struct {
        const char* url;
        bool equal;
    } cases[] = {
        {"http://example.com/", true},
        {"HTTP://Example.COM/", true},
        {"http://example.com", false},
        {"http://example.com//", false},
        {"", false},
    };
    const op_ieq eq(str_var("request_url"), str_const("http://example.com/"));
    const op_ineq ne(str_var("request_url"), str_const("http://example.com/"));
    for (const auto& c : cases) {
        EXPECT_EQ(eval(eq, with_url(c.url)), c.equal) << c.url;
        EXPECT_EQ(eval(ne, with_url(c.url)), !c.equal) << c.url;
    }
}

TEST(expr_strings, compares_two_variables) {
    request_state r;
    r.url = "Alice";
    r.username = "alice";
    EXPECT_TRUE(eval(op_ieq(str_var("request_url"), str_var("request_username")), r));
}

TEST(expr_strings, regex_searches_the_url) {
    const op_regex re(str_var("request_url"), regex_const("casino|/ads?/"));
    EXPECT_TRUE(eval(re, with_url("http://www.CASINO.example/")));
    EXPECT_TRUE(eval(re, with_url("http://x.example/ad/1.gif")));
    EXPECT_FALSE(eval(re, with_url("http://x.example/add/")));
}

TEST(expr_networks, client_address_against_networks) {
    const struct {
        const char* client_ip;
        bool in_ten, in_empty;
    } cases[] = {
        {"10.1.2.3", true, false},
        {"11.0.0.1", false, false},
        {"", false, true},
        {"not an address", false, true},
        {"10.1.2.3/40", false, true},
        {"::1", false, true},
    };
    const op_belongs in_ten(ip_var(), cidr_const("10.0.0.0/8"));
    const op_belongs in_empty(ip_var(), cidr_const(""));
    for (const auto& c : cases) {
        EXPECT_EQ(eval(in_ten, with_ip(c.client_ip)), c.in_ten) << c.client_ip;
        EXPECT_EQ(eval(in_empty, with_ip(c.client_ip)), c.in_empty) << c.client_ip;
    }
}

TEST(expr_time, office_hours_window) {
    // system_time >= 08:00 && system_time < 18:00
    const bool_and office(node_ptr(new op_ge<time_type_traits>(time_var(), time_const("08:00"))),
                          node_ptr(new op_lt<time_type_traits>(time_var(), time_const("18:00"))));
    const op_le<time_type_traits> until_noon(time_var(), time_const("12:00"));
    const op_gt<time_type_traits> after_noon(time_var(), time_const("12:00"));
    const struct {
        int hour, minute;
        bool office, until_noon, after_noon;
    } cases[] = {
        {0, 0, false, true, false},   {7, 59, false, true, false}, {8, 0, true, true, false},
        {12, 0, true, true, false},   {12, 1, true, false, true},  {17, 59, true, false, true},
        {18, 0, false, false, true},  {23, 59, false, false, true},
    };
    for (const auto& c : cases) {
        request_state r;
        r.start_time = local_time(c.hour, c.minute);
        EXPECT_EQ(eval(office, r), c.office) << c.hour << ":" << c.minute;
        EXPECT_EQ(eval(until_noon, r), c.until_noon) << c.hour << ":" << c.minute;
        EXPECT_EQ(eval(after_noon, r), c.after_noon) << c.hour << ":" << c.minute;
    }
}

TEST(expr_bool, short_circuit_and_negation) {
    const struct {
        bool left, right;
        bool or_result, and_result;
        std::vector<std::string> or_log, and_log;
    } cases[] = {
        {true, false, true, false, {"L"}, {"L", "R"}},
        {false, true, true, false, {"L", "R"}, {"L"}},
        {false, false, false, false, {"L", "R"}, {"L"}},
        {true, true, true, true, {"L"}, {"L", "R"}},
    };
    const request_state r;
    for (const auto& c : cases) {
        std::vector<std::string> log;
        const bool_or o(node_ptr(new probe(c.left, log, "L")), node_ptr(new probe(c.right, log, "R")));
        EXPECT_EQ(eval(o, r), c.or_result);
        EXPECT_EQ(log, c.or_log);
        log.clear();
        const bool_and a(node_ptr(new probe(c.left, log, "L")), node_ptr(new probe(c.right, log, "R")));
        EXPECT_EQ(eval(a, r), c.and_result);
        EXPECT_EQ(log, c.and_log);
        log.clear();
        EXPECT_EQ(eval(bool_not(node_ptr(new probe(c.left, log, "L"))), r), !c.left);
    }
}

TEST(expr_operands, right_operand_is_read_first) {
    std::vector<std::string> log;
    const op_ieq eq(str_value(new probe_value(log, "left")), str_value(new probe_value(log, "right")));
    EXPECT_FALSE(eval(eq, request_state()));
    EXPECT_EQ(log, (std::vector<std::string>{"right", "left"}));
}

TEST(expr_variables, unknown_names_refused_when_built) {
    for (const char* name : {"REQUEST_URL", "Request_Ip", "request_host", "system_time ", ""}) {
        try {
            str_var(name);
            ADD_FAILURE() << "accepted " << name;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Unknown variable: ") + name);
        }
    }
    for (const char* name : {"request_url", "request_username", "request_ip", "system_time"})
        EXPECT_NO_THROW(check_variable_name(name)) << name;
}

TEST(expr_functions, store_and_references) {
    function_store store;
    store.add("is_local", expr_ptr(new op_belongs(ip_var(), cidr_const("127.0.0.0/8"))));
    EXPECT_THROW(store.get("IS_LOCAL"), std::runtime_error);
    const bool_ref call(store.get("is_local"), "is_local");
    EXPECT_TRUE(eval(call, with_ip("127.0.0.1")));
    EXPECT_FALSE(eval(call, with_ip("10.0.0.1")));

    const struct {
        std::function<void()> action;
        const char* message;
    } errors[] = {
        {[&] { store.add("is_local", store.get("is_local")); }, "Function is_local already exists"},
        {[&] { store.get("later"); }, "Function later not found"},
    };
    for (const auto& e : errors) {
        try {
            e.action();
            ADD_FAILURE() << e.message;
        } catch (const std::runtime_error& ex) {
            EXPECT_EQ(std::string(ex.what()), e.message);
        }
    }
    EXPECT_THROW(store.add("empty", expr_ptr()), std::invalid_argument);

    // A reference does not keep the body alive; a cleared store must not
    // leave it dangling.
    store.clear();
    EXPECT_THROW(eval(call, with_ip("127.0.0.1")), std::runtime_error);
}

// Lookup files in a private folder.
class expr_lists : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& content) {
        return folder_.write(name, content);
    }
    temp_folder folder_{"vrx_expr"};
    const std::string& dir_ = folder_.path();
};

TEST_F(expr_lists, any_element_matches) {
    const op_list_ieq users(str_var("request_username"), write("users", "alice\n# bob\nCarol\n"));
    const op_list_regex urls(str_var("request_url"), write("urls", "^http://ads\\.\n\\.exe$\n"));
    const op_list_belongs nets(ip_var(), write("nets", "10.0.0.0/8\n192.168.1.0/24\n"));
    const struct {
        const char* username;
        const char* url;
        const char* ip;
        bool user, url_hit, net;
    } cases[] = {
        {"ALICE", "http://ads.example/", "10.9.9.9", true, true, true},
        {"carol", "http://x.example/setup.EXE", "192.168.1.77", true, true, true},
        {"bob", "http://x.example/ads.", "192.168.2.1", false, false, false},
        {"", "", "", false, false, false},
        {"alice ", "", "garbage", false, false, false},
    };
    for (const auto& c : cases) {
        request_state r;
        r.username = c.username;
        r.url = c.url;
        r.client_ip = c.ip;
        EXPECT_EQ(eval(users, r), c.user) << c.username;
        EXPECT_EQ(eval(urls, r), c.url_hit) << c.url;
        EXPECT_EQ(eval(nets, r), c.net) << c.ip;
    }
}

TEST_F(expr_lists, empty_file_never_matches) {
    const std::string empty = write("empty", "");
    const op_list_ieq users(str_var("request_username"), empty);
    const op_list_regex urls(str_var("request_url"), empty);
    const op_list_belongs nets(ip_var(), empty);
    for (const char* ip : {"", "10.0.0.1"}) {
        const request_state r = with_ip(ip);
        EXPECT_FALSE(eval(users, r));
        EXPECT_FALSE(eval(urls, r));
        EXPECT_FALSE(eval(nets, r));
    }
}

TEST_F(expr_lists, missing_file_fails_when_built) {
    try {
        op_list_ieq list(str_var("request_url"), dir_ + "/none");
        ADD_FAILURE() << "built without its file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error opening file: " + dir_ + "/none");
    }
}

}  // namespace
