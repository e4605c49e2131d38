// The parameter registry: lookup, conversion, scope and list accumulation.

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "conf_parser/cf_override.h"

namespace {

template <class T>
param_registry::setter<T> record(std::string& log, const char* tag)
{
    return [&log, tag](const T& value) {
        std::ostringstream out;
        out << tag << '=' << value << ';';
        log += out.str();
    };
}

param_registry::setter<string_list> record_list(string_list& dest)
{
    return [&dest](const string_list& value) { dest.insert(dest.end(), value.begin(), value.end()); };
}

std::string error_of(param_registry& registry, const std::string& name, const std::string& value,
                     bool global)
{
    try {
        registry.set(name, value, global);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(settings_registry, names_ignore_case_and_unknown_names_are_not_found)
{
    param_registry registry;
    std::string log;
    registry.register_param(id::global_only, "LogLevel", record<int32_t>(log, "level"));
    EXPECT_TRUE(registry.set("loglevel", "3", true));
    EXPECT_TRUE(registry.set("LOGLEVEL", "7", true));
    EXPECT_FALSE(registry.set("LogLevels", "7", true));
    EXPECT_FALSE(registry.set("LogLeve", "7", true));
    EXPECT_EQ(log, "level=3;level=7;");
    try {
        registry.register_param(id::global_only, "logLEVEL", record<int32_t>(log, "x"));
        ADD_FAILURE() << "registered twice";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Param already registered: logLEVEL");
    }
}

// A name held by several maps is taken by the first of: text, bool,
// integer, list, size.
TEST(settings_registry, lookup_order_between_types)
{
    param_registry registry;
    std::string log;
    string_list list;
    registry.register_param(id::global_only, "k", record<uint64_t>(log, "size"));
    EXPECT_TRUE(registry.set("k", "2", true));
    registry.register_param(id::global_only, "k", record_list(list));
    EXPECT_TRUE(registry.set("k", "yes", true));
    registry.register_param(id::global_only, "k", record<int32_t>(log, "int"));
    EXPECT_TRUE(registry.set("k", "5", true));
    registry.register_param(id::global_only, "k", record<bool>(log, "bool"));
    EXPECT_TRUE(registry.set("k", "no", true));
    registry.register_param(id::global_only, "k", record<std::string>(log, "text"));
    EXPECT_TRUE(registry.set("k", "no", true));
    EXPECT_EQ(log, "size=2048;int=5;bool=0;text=no;");
    EXPECT_EQ(list, string_list({"yes"}));
}

TEST(settings_registry, conversion_errors_carry_the_parser_message)
{
    param_registry registry;
    std::string log;
    registry.register_param(id::global_only, "Flag", record<bool>(log, "b"));
    registry.register_param(id::global_only, "Count", record<int32_t>(log, "i"));
    registry.register_param(id::global_only, "Size", record<uint64_t>(log, "s"));
    EXPECT_EQ(error_of(registry, "Flag", "1", true), "Error parsing bool");
    EXPECT_EQ(error_of(registry, "Count", "4x", true), "Error parsing digital_t");
    EXPECT_EQ(error_of(registry, "Size", "1G", true), "Error parsing size");
    EXPECT_EQ(log, "");
}

TEST(settings_registry, match_sections_override_only_keys_with_an_id)
{
    param_registry registry;
    std::string log;
    string_list list;
    registry.register_param(id::global_only, "LogLevel", record<int32_t>(log, "global"));
    registry.register_param(6, "BlockChats", record<bool>(log, "global"),
                            record<bool>(log, "override"));
    registry.register_param(id::global_only, "BlackHosts", record_list(list));

    EXPECT_EQ(error_of(registry, "LOGLEVEL", "3", false), "Param LOGLEVEL is global only");
    EXPECT_EQ(error_of(registry, "BlackHosts", "a", false), "Param BlackHosts is global only");
    EXPECT_THROW(registry.set("BlackHosts", string_list{"a", "b"}, false), std::runtime_error);
    EXPECT_TRUE(registry.set("blockchats", "yes", false));
    EXPECT_TRUE(registry.set("BlockChats", "no", true));
    EXPECT_EQ(log, "override=1;global=0;");
    EXPECT_TRUE(list.empty());
}

TEST(settings_registry, list_keys_accumulate_and_only_they_take_the_list_form)
{
    param_registry registry;
    std::string log;
    string_list list;
    registry.register_param(id::global_only, "WhiteHosts", record_list(list));
    registry.register_param(id::global_only, "Templates", record<std::string>(log, "t"));
    EXPECT_TRUE(registry.set("WhiteHosts", "a", true));
    EXPECT_TRUE(registry.set("whitehosts", string_list{"b", "c"}, true));
    EXPECT_TRUE(registry.set("WhiteHosts", "", true));
    EXPECT_EQ(list, string_list({"a", "b", "c", ""}));
    EXPECT_FALSE(registry.set("Templates", string_list{"x", "y"}, true));
    EXPECT_EQ(log, "");
}

TEST(settings_registry, callbacks_must_be_installed)
{
    param_registry registry;
    const struct {
        std::function<void()> call;
        const char* message;
    } cases[] = {
        {[&] { registry.run_callback_add_expr(expr_ptr()); },
         "run_callback_add_expr: expression callback not registered"},
        {[&] { registry.run_callback_add_func("f", expr_ptr()); },
         "run_callback_add_func: add function callback not registered"},
        {[&] { registry.run_callback_get_func("f"); },
         "run_callback_get_func: get function callback not registered"},
        {[&] { registry.add_mime_block("* pass all\n"); },
         "add_mime_block: mime callback not registered"},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.message;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    std::string name;
    registry.set_callback_get_func([&name](const std::string& n) {
        name = n;
        return expr_ptr();
    });
    registry.run_callback_get_func("weekday");
    EXPECT_EQ(name, "weekday");
}

TEST(settings_registry_death, registration_checks_id_against_override_setter)
{
    std::string log;
    EXPECT_DEATH(
        {
            param_registry registry;
            registry.register_param(id::global_only, "A", record<bool>(log, "a"),
                                    record<bool>(log, "o"));
        },
        "\\(rid==id::global_only && pco==0\\) \\|\\| \\(rid!=-1 && pco!=0\\)");
    EXPECT_DEATH(
        {
            param_registry registry;
            registry.register_param(3, "A", record<bool>(log, "a"));
        },
        "rid==id::global_only");
}

}  // namespace
