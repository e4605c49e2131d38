#include <gtest/gtest.h>

#include <sstream>

#include <unistd.h>

#include "conf_parser/cf_expr.h"

namespace {

using namespace expr;

TEST(expr_print, tree_of_every_node_kind) {
    char path[] = "/tmp/vrx_print_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);

    function_store store;
    store.add("office", expr_ptr(new op_ge<time_type_traits>(
                            value_ptr<time_type_traits>(new value_var<time_type_traits>("system_time")),
                            value_ptr<time_type_traits>(new value_const<time_type_traits>(parse_time("8:05"))))));

    // !(office() || url ~ "ads") && (ip <<= "" && user != "Bob" && user == FILE:path
    //   && ip <<= "10.1.2.3/8")
    node_ptr right(new op_ineq(value_ptr<string_type_traits>(new value_var<string_type_traits>("request_username")),
                               value_ptr<string_type_traits>(new value_const<string_type_traits>("Bob"))));
    right.reset(new bool_and(
        node_ptr(new op_belongs(value_ptr<cidr_type_traits>(new value_var<cidr_type_traits>("request_ip")),
                                value_ptr<cidr_type_traits>(new value_const<cidr_type_traits>(make_cidr(""))))),
        std::move(right)));
    right.reset(new bool_and(
        std::move(right),
        node_ptr(new op_list_ieq(
            value_ptr<string_type_traits>(new value_var<string_type_traits>("request_username")), path))));
    right.reset(new bool_and(
        std::move(right),
        node_ptr(new op_belongs(
            value_ptr<cidr_type_traits>(new value_var<cidr_type_traits>("request_ip")),
            value_ptr<cidr_type_traits>(new value_const<cidr_type_traits>(make_cidr("10.1.2.3/8")))))));
    const bool_and tree(
        node_ptr(new bool_not(node_ptr(new bool_or(
            node_ptr(new bool_ref(store.get("office"), "office")),
            node_ptr(new op_regex(value_ptr<string_type_traits>(new value_var<string_type_traits>("request_url")),
                                  value_ptr<regex_type_traits>(new value_const<regex_type_traits>(
                                      compiled_re("ads"))))))))),
        std::move(right));
    unlink(path);

    std::ostringstream out;
    tree.print(out, 0);
    store.print(out);
    EXPECT_EQ(out.str(),
              "and (\n"
              "|   not (\n"
              "|   |   or (\n"
              "|   |   |   office()\n"
              "|   |   |   string_op_regex (\n"
              "|   |   |   |   value_var_string(request_url)\n"
              "|   |   |   |   value_const_regex(\"ads\")\n"
              "|   |   |   )\n"
              "|   |   )\n"
              "|   )\n"
              "|   and (\n"
              "|   |   and (\n"
              "|   |   |   and (\n"
              "|   |   |   |   op_belongs_cidr (\n"
              "|   |   |   |   |   value_var_cidr(request_ip)\n"
              "|   |   |   |   |   value_const_cidr(\"EMPTY\")\n"
              "|   |   |   |   )\n"
              "|   |   |   |   op_ineq_string (\n"
              "|   |   |   |   |   value_var_string(request_username)\n"
              "|   |   |   |   |   value_const_string(\"Bob\")\n"
              "|   |   |   |   )\n"
              "|   |   |   )\n"
              "|   |   |   op_list_ieq (\n"
              "|   |   |   |   value_var_string(request_username)\n"
              "|   |   |   |   list(\"" + std::string(path) + "\")\n"
              "|   |   |   )\n"
              "|   |   )\n"
              "|   |   op_belongs_cidr (\n"
              "|   |   |   value_var_cidr(request_ip)\n"
              "|   |   |   value_const_cidr(\"10.1.2.3/255.0.0.0\")\n"
              "|   |   )\n"
              "|   )\n"
              ")\n"
              "\nFUNCTION: office\n"
              "op_ge_time (\n"
              "|   value_var_time(system_time)\n"
              "|   value_const_time(\"08:05\")\n"
              ")\n");
}

TEST(expr_print, node_names) {
    using tv = value_ptr<time_type_traits>;
    const auto t = [] { return tv(new value_const<time_type_traits>(time_of_day{})); };
    EXPECT_STREQ(op_lt<time_type_traits>(t(), t()).name(), "op_lt_time");
    EXPECT_STREQ(op_gt<time_type_traits>(t(), t()).name(), "op_gt_time");
    EXPECT_STREQ(op_le<time_type_traits>(t(), t()).name(), "op_le_time");
    EXPECT_STREQ(op_ge<time_type_traits>(t(), t()).name(), "op_ge_time");
}

}  // namespace
