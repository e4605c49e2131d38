#include <gtest/gtest.h>

#include <functional>

#include "conf_parser/cf_values.h"

namespace {

// Runs `parse` and returns the message of the exception it raises, or ""
// when it succeeds.
std::string error_of(const std::function<void()>& parse) {
    try {
        parse();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(parse_bool, words_in_any_case) {
    const struct {
        const char* text;
        bool value;
    } cases[] = {{"true", true}, {"TRUE", true}, {"Yes", true}, {"no", false}, {"FaLsE", false}};
    for (const auto& c : cases)
        EXPECT_EQ(parse_bool(c.text), c.value) << c.text;
}

TEST(parse_bool, other_texts_fail) {
    for (const char* text : {"", " true", "true ", "1", "y", "yess"})
        EXPECT_EQ(error_of([&] { parse_bool(text); }), "Error parsing bool") << '"' << text << '"';
}

TEST(parse_size, units) {
    const struct {
        const char* text;
        uint64_t value;
    } cases[] = {
        {"100", 102400},
        {"100k", 102400},
        {"100K", 102400},
        {"100b", 100},
        {"2M", 2097152},
        {"2m", 2097152},
        {"0", 0},
        {"inf", 0},
        {"INF", 0},
        {"18014398509481983", 18014398509481983ull * 1024},
        {"17592186044415m", 17592186044415ull * 1048576},
        {"18446744073709551615b", 18446744073709551615ull},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_size(c.text), c.value) << c.text;
}

TEST(parse_size, malformed_texts_fail) {
    for (const char* text : {"", "1G", "100 k", "10kb", "k", " 10", "10B", "-1", "10k ", "infinity",
                             "18014398509481984x"})
        EXPECT_EQ(error_of([&] { parse_size(text); }), "Error parsing size") << '"' << text << '"';
}

TEST(parse_size, too_large_values_overflow) {
    // The overflow is found before anything after the unit.
    for (const char* text : {"18014398509481984", "18014398509481984k", "17592186044416M",
                             "18446744073709551616b", "99999999999999999999999", "18014398509481984kx",
                             "17592186044416m "}) {
        EXPECT_THROW(parse_size(text), std::overflow_error) << text;
        EXPECT_EQ(error_of([&] { parse_size(text); }), "Error parsing size: overflow") << text;
    }
}

TEST(parse_digital_t, numbers) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {{"42", 42}, {" 42", 42}, {"-7", -7}, {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}};
    for (const auto& c : cases)
        EXPECT_EQ(parse_digital_t(c.text), c.value) << c.text;
}

TEST(parse_digital_t, malformed_texts_fail) {
    for (const char* text : {"", "42 ", "4x", "x", "2147483648", "-2147483649", "99999999999", " "})
        EXPECT_EQ(error_of([&] { parse_digital_t(text); }), "Error parsing digital_t") << '"' << text << '"';
}

TEST(parse_time, accepted) {
    const struct {
        const char* text;
        int32_t hour, minute;
    } cases[] = {{"0:00", 0, 0}, {"23:59", 23, 59}, {"8:05", 8, 5}, {"08:05", 8, 5}};
    for (const auto& c : cases) {
        const time_of_day t = parse_time(c.text);
        EXPECT_EQ(t.hour, c.hour) << c.text;
        EXPECT_EQ(t.minute, c.minute) << c.text;
    }
}

TEST(parse_time, rejected_with_reason) {
    const std::string cast = "bad lexical cast: source type value could not be interpreted as target";
    const struct {
        const char* text;
        std::string reason;
    } cases[] = {
        {"1200", "no colon"},
        {"", "no colon"},
        {":00", "invalid hour"},
        {"123:00", "invalid hour"},
        {"8:5", "invalid minutes"},
        {"08:05:00", "invalid minutes"},
        {"24:00", "values out of range"},
        {"12:60", "values out of range"},
        {"a:00", cast},
        {"8: 5", cast},
        {"08:5x", cast},
    };
    for (const auto& c : cases)
        EXPECT_EQ(error_of([&] { parse_time(c.text); }),
                  std::string("Error parsing time from string \"") + c.text + "\": " + c.reason);
}

TEST(time_of_day, ordered_by_hour_then_minute) {
    const time_of_day a{8, 59}, b{9, 0};
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(a <= b && a <= a);
    EXPECT_TRUE(b >= a && b >= b);
    EXPECT_FALSE(a > a);
}

TEST(make_cidr, text_form_keeps_host_bits) {
    const struct {
        const char* text;
        const char* form;
    } cases[] = {
        {"10.1.2.3/8", "10.1.2.3/255.0.0.0"},
        {"192.168.1.1", "192.168.1.1/255.255.255.255"},
        {"0.0.0.0/0", "0.0.0.0/0.0.0.0"},
        {"172.16.0.0/12", "172.16.0.0/255.240.0.0"},
        {"1.2.3.4/32", "1.2.3.4/255.255.255.255"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(make_cidr(c.text)->to_string(), c.form) << c.text;
}

TEST(make_cidr, empty_text_is_no_network) { EXPECT_FALSE(make_cidr("")); }

TEST(make_cidr, errors) {
    const char* cast = "bad lexical cast: source type value could not be interpreted as target";
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"10.0.0.0/", "No mask"},
        {"1.2.3.4/8/", "No mask"},
        {"10.0.0.0/33", "Invalid mask"},
        {"10.0.0.0/x", cast},
        {"10.0.0.0/8/8", cast},
        {"10.0.0.0/ 8", cast},
        {"10.0.0", "Error converting address"},
        {"example.com", "Error converting address"},
        {"::1", "Error converting address"},
        {"10.0.0.1 ", "Error converting address"},
        {"/8", "Error converting address"},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(make_cidr(c.text), make_cidr_error) << c.text;
        EXPECT_EQ(error_of([&] { make_cidr(c.text); }), c.message) << c.text;
    }
}

TEST(cidr_v4, contains) {
    const struct {
        const char* outer;
        const char* inner;
        bool contained;
    } cases[] = {
        {"10.1.2.3/8", "10.200.0.1", true},
        {"10.1.2.3/8", "11.0.0.1", false},
        {"10.0.0.0/8", "10.0.0.0/8", true},
        {"10.0.0.0/8", "10.5.0.0/16", true},
        {"10.5.0.0/16", "10.0.0.0/8", false},
        {"0.0.0.0/0", "255.255.255.255", true},
        {"0.0.0.0/0", "1.0.0.0/1", true},
        {"192.168.1.1", "192.168.1.1", true},
        {"192.168.1.1", "192.168.1.2", false},
        {"192.168.1.1", "192.168.1.1/31", false},
        {"255.255.255.255/32", "255.255.255.255", true},
    };
    for (const auto& c : cases) {
        const cidr_ptr outer = make_cidr(c.outer), inner = make_cidr(c.inner);
        const cidr& any_outer = *outer;
        EXPECT_EQ(any_outer.contains(*inner), c.contained) << c.outer << " contains " << c.inner;
        EXPECT_EQ(inner->belongs_to(any_outer), c.contained) << c.inner << " belongs to " << c.outer;
    }
}

TEST(compiled_re, matches_unanchored_ignoring_case) {
    const compiled_re re("ex(ample|tra)\\.com");
    EXPECT_TRUE(re.match("http://www.EXAMPLE.com/x"));
    EXPECT_TRUE(re.match("extra.com"));
    EXPECT_FALSE(re.match("example.org"));
    EXPECT_FALSE(compiled_re("^abc$").match("xabc"));
    EXPECT_EQ(re.pattern(), "ex(ample|tra)\\.com");
}

TEST(compiled_re, copies_match_on_their_own) {
    std::unique_ptr<compiled_re> original(new compiled_re("a+b"));
    compiled_re copy(*original);
    compiled_re assigned("zzz");
    assigned = *original;
    original.reset();
    EXPECT_TRUE(copy.match("xaab"));
    EXPECT_TRUE(assigned.match("AB"));
    EXPECT_FALSE(assigned.match("zzz"));
    EXPECT_EQ(assigned.pattern(), "a+b");
}

TEST(compiled_re, invalid_pattern) {
    for (const char* pattern : {"(", "a[", "*{1"})
        EXPECT_EQ(error_of([&] { compiled_re re(pattern); }),
                  std::string("Invalid regex: \"") + pattern + "\"");
}

}  // namespace
